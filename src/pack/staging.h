// Whole or nothing: a package is built in a staging folder beside its output
// folder (and its image beside the image's place) and moved into place, with
// a rename, only once it passed every check. A refused, failed or interrupted
// (SIGINT, SIGTERM, SIGHUP) pack leaves nothing that looks like a stick, and
// no staging folder or image.
#pragma once

#include <string>

#include "pack/interrupt.h"

namespace upd::pack {

class Staging {
  public:
    Staging() = default;
    ~Staging();  // removes whatever is still staged
    Staging(const Staging&) = delete;
    Staging& operator=(const Staging&) = delete;

    // Makes the staging places for a stick going to `outputDir` (which must
    // not exist, or be an empty folder) and, unless `imagePath` is empty, an
    // image going to `imagePath` (which must not exist). False with *error set
    // otherwise.
    bool Create(const std::string& outputDir, const std::string& imagePath, std::string* error);

    // The folder standing for the stick's root while it is built.
    std::string Stick() const { return folder_ + "/stick"; }
    // A path for a working file that does not ship.
    std::string Scratch(const std::string& name) const { return folder_ + "/" + name; }
    // The staging folder, where working folders that do not ship are made.
    const std::string& Folder() const { return folder_; }
    // Where the image is built.
    const std::string& Image() const { return image_; }

    // Moves the stick, then the image, into place. False with *error set, and
    // nothing moved, when either cannot be.
    bool Publish(std::string* error);

  private:
    std::string output_, imagePath_;
    std::string folder_, image_;  // staged, removed unless published
    RemoveOnSignal onSignal_;     // removes them when the pack is interrupted
};

}  // namespace upd::pack
