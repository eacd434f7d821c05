// The simulated instrument (being built).
#include <cstdio>

int main() {
    std::fputs("usage: update-sim ROOT [ARGUMENT...]\n", stderr);
    return 2;
}
