#pragma once

#include <string>

// True for 1 to 128 bytes of ASCII letters, digits and - . / : @ _ only: the
// one screen a value from outside must pass before it enters a shell command.
bool IsSafeShellToken(const std::string& word);

// One byte of that set; other screens with their own length limits use it.
bool IsSafeShellByte(unsigned char byte);
