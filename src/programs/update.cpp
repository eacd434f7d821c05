// The instrument's program: the updater on the real Linux services.
#include "update/update.h"

int main(int argc, char** argv) {
    return upd::UpdateMain(argc, argv);
}
