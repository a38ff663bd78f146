// The same texts as literal_probe, stored plainly: the scanner must report both.
#include <cstdio>

int main()
{
    static const char narrow[] = "quixotic-marmalade-transponder";
    static const char16_t wide[] = u"zephyr-lantern-octahedron";
    std::printf("%s %zu\n", narrow, sizeof wide);
    return 0;
}
