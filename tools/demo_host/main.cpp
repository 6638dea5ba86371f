// Demo host: grows with the library; see README.
#include <cstdio>

int main() {
    std::puts("VexloTool demo host");
    return 0;
}
