// A temporary directory for one test, removed with everything in it at the end.
#pragma once

#include <string>

namespace upd::testing {

class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    // path() + "/" + relative
    std::string operator/(const std::string& relative) const { return path_ + "/" + relative; }

  private:
    std::string path_;
};

// Whole-file helpers for tests.
std::string ReadAll(const std::string& path);
void WriteAll(const std::string& path, const std::string& content);

// Makes a socket file at `path`: it exists but cannot be opened as a file,
// even by root.
void MakeSocket(const std::string& path);

// Makes a FIFO at `path` (replacing what is there): opening it for reading
// waits for a writer that never comes, unless the opener does not wait.
void MakeFifo(const std::string& path);

}  // namespace upd::testing
