// Checks on the paths a conversion names, made before any header is read or byte written:
// an input must be a regular file or a folder (opening a FIFO would wait forever for a
// writer), and the output must be neither an input (it would be replaced by the conversion
// of itself) nor an existing file of another kind (a device would be replaced by 5 GB).
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

// Needs: a st_mode. Returns its file type in words, e.g. "a FIFO", "a character device".
const char* file_kind_name(mode_t mode);

// Needs: an input path as given. Returns false with a one-line *err when it cannot be looked
// up or is neither a regular file nor a folder (links followed).
bool check_input_kind(const std::string& path, std::string* err);

// Needs: the output path, after a folder got the default file name. Returns false with a
// one-line *err when it is empty or exists as anything but a regular file (links followed).
bool check_output_kind(const std::string& path, std::string* err);

// Needs: the output path and every file the readers opened. Returns false with a one-line
// *err when the output exists and is one of them (same device and inode: through symbolic
// and hard links too).
bool check_output_not_input(const std::string& out, const std::vector<std::string>& inputs, std::string* err);
