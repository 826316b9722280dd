// File operations of the upgrader and its backup stage. Every step that
// touches the file system goes through here; each one prints its own
// single line on stdout when it fails and reports failure to its caller.
#ifndef CNFUPGRADE_FILES_HPP
#define CNFUPGRADE_FILES_HPP

#include <cstddef>
#include <cstdint>
#include <cstdio>

// Size of every text buffer of the tool: names and paths of at most
// text_size - 1 characters and their terminator.
constexpr std::size_t text_size = 160;

// The scratch file, always in the working directory.
constexpr char scratch_name[] = "tmp.cnf";

// Mode "r" opens an existing file for reading its bytes; mode "w" creates
// a new file readable and writable by its owner only, and fails if the
// path already exists. Returns no stream and prints "Can't open %s." on
// failure.
std::FILE* open_file(const char* path, const char* mode);

// Releases the stream in every case; prints "Can't close %s." when the
// close reports an error.
int close_file(const char* path, std::FILE* stream);

// Deletes a file. A path where nothing exists counts as done; anything
// else that cannot be deleted, a directory included, prints
// "Can't remove %s.".
int remove_file(const char* path);

// Moves a file; across file systems the target never shows a partial
// file. Prints "Can't rename %s to %s." on failure.
int rename_file(const char* from, const char* to);

// Reads up to `size` bytes; `*count` is 0 only at the end of the input.
// Prints "Can't read %s." on a read error, and when the input turns out
// not to be a regular file (a directory, a pipe).
int read_block(const char* path, std::FILE* stream, char* buffer,
               std::size_t size, std::size_t* count);

// Moves a stream opened for reading back to an absolute offset. Prints
// "Can't read %s." on failure.
int seek_block(const char* path, std::FILE* stream, std::uint64_t offset);

// Writes all of `data`. Prints "Can't write %s." on failure.
int write_block(const char* path, std::FILE* stream, const char* data,
                std::size_t size);

// Gives the file being written the permission bits, owner and group of
// the file being read, as far as the process may set them, and never
// leaves it more readable than that file. Prints
// "Can't set permissions of %s." with `to_path` on failure.
int copy_permissions(std::FILE* from, const char* to_path, std::FILE* to);

// Forces what was written to stable storage. Prints "Can't write %s." on
// failure.
int commit_file(const char* path, std::FILE* stream);

// Fills `result` (text_size bytes) with `path` whose extension is
// replaced by `extension`. Returns 0, leaving `result` empty, when the
// result would not fit.
int change_extension(const char* path, const char* extension, char* result);

// Moves the configuration file `name` to its ".bak" path, which it leaves
// in `backup_path` (text_size bytes), replacing an earlier backup only
// when `name` exists. Prints "%s backed up to %s" on success.
int back_up_file(const char* name, char* backup_path);

#endif  // CNFUPGRADE_FILES_HPP
