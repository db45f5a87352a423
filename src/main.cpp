#include <cstdio>

int main() {
    printf(" Version\t:\t1.0.3\n");
    return 0;
}
