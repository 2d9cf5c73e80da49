#include <cstdio>

int main()
{
    std::puts("Tidewell: the desktop windows are not built yet.");
    return 0;
}
