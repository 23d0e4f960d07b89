#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>

#include "helper_run.h"

// One file that the helper's status lines and, with the recorder, its
// command texts are appended to, so they stand in the order they happened:
// the commands before a status line are counted exactly, however late the
// reader comes to it (a look that starts right after READY is not counted
// with the start). Read on from where the last read ended.
struct OutputReader {
  int fd = -1;
  int notify = -1;  // inotify: woken by each write
  std::string unread;
  size_t commands = 0;  // recorded lines read so far
  size_t listings = 0;  // of them, listings read back (popen)
};

// Empties the file and opens it for reading.
bool OpenOutput(const std::string& path, OutputReader* reader);
void CloseOutput(OutputReader* reader);

// Starts the helper with its standard output appended to
// options.record_file (and its commands too, with options.recorder_library).
bool StartHelperWritingTo(const HelperRunOptions& options, pid_t* pid, std::string* error);

// Reads on until the status line `wanted`; false when the helper ended
// without it or it has not come within 20 s.
bool AwaitLine(OutputReader* reader, pid_t pid, const std::string& wanted);
// Reads what has been written by now.
void ReadWritten(OutputReader* reader);
// Reads on until nothing has been written for 300 ms (5 s at most): the
// helper's commands of the moment have ended.
void AwaitQuiet(OutputReader* reader);
