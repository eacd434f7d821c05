/* Coverage runs only, loaded with LD_PRELOAD: the simulated instrument changes
 * its root directory before the updater runs, which would leave the updater's
 * coverage counts nowhere to go. Just before that change of root, this makes
 * the coverage build folder (UPD_COVERAGE_DIR) visible at the same path inside
 * the new root, within the sandbox's private mount namespace. Where that folder
 * cannot be written (the sandbox of an ordinary user), the counts of that run
 * are dropped quietly instead of being complained about on standard error. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

static void MakeDirs(const char* path) {
    char partial[PATH_MAX];
    size_t n = strlen(path);
    if (n >= sizeof partial) {
        return;
    }
    for (size_t i = 1; i <= n; ++i) {
        if (path[i] == '/' || path[i] == '\0') {
            memcpy(partial, path, i);
            partial[i] = '\0';
            mkdir(partial, 0755);
        }
    }
}

int chroot(const char* path) {
    int (*real_chroot)(const char*) = (int (*)(const char*))dlsym(RTLD_NEXT, "chroot");
    const char* dir = getenv("UPD_COVERAGE_DIR");
    if (dir != NULL && dir[0] == '/' && path != NULL) {
        char target[PATH_MAX];
        int bound = 0;
        if (access(dir, W_OK) == 0 &&
            snprintf(target, sizeof target, "%s%s", path, dir) < (int)sizeof target) {
            MakeDirs(target);
            bound = mount(dir, target, NULL, MS_BIND, NULL) == 0;
        }
        if (!bound) {
            setenv("GCOV_PREFIX", "/tmp/.coverage-dropped", 1);
        }
    }
    /* The programs run inside the new root cannot load this file. */
    unsetenv("LD_PRELOAD");
    if (real_chroot == NULL) {
        errno = ENOSYS;
        return -1;
    }
    return real_chroot(path);
}
