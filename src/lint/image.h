// A stick image's files, copied out into a temporary directory that lasts as
// long as the object: the image holds a partition table whose first
// partition holds a FAT file system, read with mtools. An image that is cut
// short or cannot be read whole is refused.
#pragma once

#include <string>

namespace upd::lint {

class StickImage {
  public:
    // Copies every file of the image's file system into a new folder in
    // `under` (the system's temporary folder when empty); on failure (the
    // image is no regular file, its partition table or file system does not
    // fit it, mcopy cannot read it whole) ok() is false and error() says why.
    explicit StickImage(const std::string& image, const std::string& under = {});
    ~StickImage();
    StickImage(const StickImage&) = delete;
    StickImage& operator=(const StickImage&) = delete;

    bool ok() const { return error_.empty(); }
    const std::string& error() const { return error_; }
    // The directory that stands for the stick's root.
    const std::string& root() const { return root_; }

  private:
    std::string base_;  // the temporary directory, holding root_
    std::string root_;
    std::string error_;
};

}  // namespace upd::lint
