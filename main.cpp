#include <cstdio>

int main()
{
    std::puts("Vendrel");
    return 0;
}
