#include "lifecycle/text_utils.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <sstream>

namespace {
constexpr const char* kTrimmedBytes = " \t\r\n";

// Everything up to the end, with plain reads: the stream library throws when
// a read fails (a directory, or a /proc entry whose process exited after the
// open), and an escaped exception would end the helper with its state left
// on the host. Empty text when a read fails or there is more than
// max_bytes (a file that grows while it is read).
std::string ReadDescriptor(int fd, size_t max_bytes) {
  std::string content;
  char buffer[65536];
  while (content.size() <= max_bytes) {
    const ssize_t length = read(fd, buffer, sizeof(buffer));
    if (length < 0 && errno == EINTR) continue;
    if (length < 0) return {};
    if (length == 0) return content;
    content.append(buffer, static_cast<size_t>(length));
  }
  return {};
}

}  // namespace

std::string Trim(const std::string& text) {
  const size_t first = text.find_first_not_of(kTrimmedBytes);
  if (first == std::string::npos) return {};
  const size_t last = text.find_last_not_of(kTrimmedBytes);
  return text.substr(first, last - first + 1);
}

std::string JoinList(const std::vector<std::string>& items) {
  std::string joined;
  for (size_t i = 0; i < items.size(); ++i) {
    if (i > 0) joined += ",";
    joined += items[i];
  }
  return joined;
}

std::string ReadFileToString(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return {};
  const std::string content = ReadDescriptor(fd, std::string::npos);
  close(fd);
  return content;
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) lines.push_back(line);
  return lines;
}

std::vector<std::string> SplitWords(const std::string& text) {
  std::istringstream stream(text);
  std::vector<std::string> words;
  for (std::string word; stream >> word;) words.push_back(word);
  return words;
}

std::string ReadRegularFileToString(const std::string& path, size_t max_bytes) {
  // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer.
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return {};
  struct stat status {};
  std::string content;
  if (fstat(fd, &status) == 0 && S_ISREG(status.st_mode) &&
      static_cast<unsigned long long>(status.st_size) <= max_bytes) {
    content = ReadDescriptor(fd, max_bytes);
  }
  close(fd);
  return content;
}

bool IsAllDigits(const std::string& text) {
  return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}
