// Files in folders the user named, and only there: every name is a bare name
// opened relative to the folder, and no symbolic link inside it is followed.
#ifndef VELMORA_HOST_IO_SAFE_FILES_H_
#define VELMORA_HOST_IO_SAFE_FILES_H_

#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>

namespace velmora::host {

// What a file operation ran into, as a sentence fragment naming the file.
class FileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Owns a file descriptor.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd();
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept;
  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_ = -1;
};

// True for a name that stays in its folder: not empty, no "/", no NUL, not
// "." or "..".
bool IsBareName(std::string_view name);

// Opens the folder at path (the user named it, so a link in its own name is
// followed). With create, a missing folder is made, parents too; created
// then says whether the last part was made here.
UniqueFd OpenFolder(const std::string& path, bool create, bool* created = nullptr);

// A file the user named by its path: the folder it is in, open (a link in
// the folder's path is followed, as the user named it), and its bare name.
// A path that names a folder ("dir/", ".", "..") is refused.
struct FileInFolder {
  UniqueFd folder;
  std::string name;
};
FileInFolder OpenFolderOf(const std::string& path);

// True when the folder holds nothing.
bool FolderIsEmpty(int folder);

// Creates name in folder for writing, refusing whatever exists there (a link
// included): O_CREAT|O_EXCL|O_NOFOLLOW.
UniqueFd CreateNewFile(int folder, const std::string& name);

// Opens name in folder for writing from scratch: a regular file with no
// other names is emptied, a missing one created; a link, a folder, a device
// or a file with hard links is refused.
UniqueFd ReplaceFile(int folder, const std::string& name);

// Opens name in folder for reading: it must be a regular file with no other
// names (not a link, folder, device, pipe or hard link to something else) of
// at most maxBytes; size gets its length.
UniqueFd OpenRegularFile(int folder, const std::string& name, size_t maxBytes, size_t* size);

// Whole writes and reads, retried after signals; they throw FileError with
// what (the file's name) in the message.
void WriteAll(int fd, std::string_view bytes, const std::string& what);
std::string ReadAll(int fd, size_t maxBytes, const std::string& what);

}  // namespace velmora::host

#endif  // VELMORA_HOST_IO_SAFE_FILES_H_
