// The same texts as literal_probe, stored plainly: the scanner must report both.
#include <cstdio>

int main()
{
    static const char narrow[] = "quixotic-marmalade-transponder";
    static const char16_t wide[] = u"zephyr-lantern-octahedron";
    // Both texts are written out as stored, so no compiler can fold them away.
    std::printf("%s\n", narrow);
    std::fwrite(wide, sizeof wide, 1, stdout);
    return 0;
}
