// Staging folders beside their destinations, so that publishing is a rename
// on one file system, and their removal when a pack does not complete.
#include "pack/staging.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <vector>

#include "pack/new_file.h"

namespace upd::pack {
namespace {

namespace fs = std::filesystem;

bool IsEmptyFolder(const std::string& path) {
    std::error_code ec;
    return fs::is_directory(path, ec) && fs::is_empty(path, ec) && !ec;
}

}  // namespace

Staging::~Staging() {
    std::error_code ec;
    if (!folder_.empty()) {
        fs::remove_all(folder_, ec);
    }
    if (!image_.empty()) {
        fs::remove(image_, ec);
    }
}

bool Staging::Create(const std::string& outputDir, const std::string& imagePath,
                     std::string* error) {
    std::error_code ec;
    if (fs::exists(fs::symlink_status(outputDir, ec)) && !IsEmptyFolder(outputDir)) {
        *error = outputDir + " exists and is not an empty folder; remove it first";
        return false;
    }
    if (!imagePath.empty() && fs::exists(fs::symlink_status(imagePath, ec))) {
        *error = imagePath + " exists; remove it first";
        return false;
    }
    // Each staged path is made and registered for removal on a signal in one
    // step: a signal between the two would leave it behind.
    RemoveOnSignal::Hold hold;
    std::string folder = TemplateBeside(outputDir);
    if (::mkdtemp(folder.data()) == nullptr) {
        *error = "cannot make a staging folder " + folder + ": " + std::strerror(errno);
        return false;
    }
    folder_ = folder;
    if (!onSignal_.AddFolder(folder_)) {
        *error = "the staging folder's path is too long: " + folder_;
        return false;
    }
    if (::mkdir(Stick().c_str(), 0755) != 0) {
        *error = "cannot make " + Stick() + ": " + std::strerror(errno);
        return false;
    }
    if (!imagePath.empty()) {
        std::string image = TemplateBeside(imagePath);
        const int fd = ::mkstemp(image.data());
        if (fd < 0) {
            *error = "cannot make a staging file " + image + ": " + std::strerror(errno);
            return false;
        }
        ::close(fd);
        image_ = image;
        if (!onSignal_.Add(image_)) {
            *error = "the staging image's path is too long: " + image_;
            return false;
        }
    }
    output_ = outputDir;
    imagePath_ = imagePath;
    return true;
}

bool Staging::Publish(std::string* error) {
    // The stick and the image are published together: a signal waits.
    RemoveOnSignal::Hold hold;
    // An empty output folder given by the user makes way for the stick.
    if (IsEmptyFolder(output_) && ::rmdir(output_.c_str()) != 0) {
        *error = "cannot replace the empty folder " + output_ + ": " + std::strerror(errno);
        return false;
    }
    if (!MoveNew(Stick(), output_)) {
        *error = "cannot move the stick to " + output_ + ": " + std::strerror(errno);
        return false;
    }
    if (!image_.empty()) {
        if (!MoveNew(image_, imagePath_)) {
            *error = "cannot move the image to " + imagePath_ + ": " + std::strerror(errno);
            std::rename(output_.c_str(), Stick().c_str());
            return false;
        }
        onSignal_.Forget(image_);
        image_.clear();
    }
    return true;
}

}  // namespace upd::pack
