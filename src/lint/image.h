// A stick image's files, copied out into a temporary directory that lasts as
// long as the object: the image holds one FAT file system at 1 MiB, read with
// mtools.
#pragma once

#include <string>

namespace upd::lint {

class StickImage {
  public:
    // Copies every file of the image's file system into a new folder in
    // `under` (the system's temporary folder when empty); on failure ok() is
    // false and error() says why.
    explicit StickImage(const std::string& image, const std::string& under = {});
    ~StickImage();
    StickImage(const StickImage&) = delete;
    StickImage& operator=(const StickImage&) = delete;

    bool ok() const { return error_.empty(); }
    const std::string& error() const { return error_; }
    // The directory that stands for the stick's root.
    const std::string& root() const { return root_; }

  private:
    std::string root_;
    std::string error_;
};

}  // namespace upd::lint
