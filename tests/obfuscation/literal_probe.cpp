// A small program that uses a few distinctive literals through PELTO_TEXT; the test that builds
// it scans the executable for those texts in UTF-8 and UTF-16LE and must find none of them.
#include <cstdio>
#include <string>

#include "base/obfuscated.h"
#include "base/text.h"

int main(int argc, char**)
{
    const std::string narrow = PELTO_TEXT("quixotic-marmalade-transponder").str();
    const std::u16string wide = PELTO_TEXT(u"zephyr-lantern-octahedron").str();
    const std::string long_text =
        PELTO_TEXT("a much longer literal that spans several sixteen byte blocks: halcyon-vermilion").str();
    // Print something that depends on the texts so none of them is optimised away.
    std::printf("%zu %zu %zu %d\n", narrow.size(), wide.size(), long_text.size(),
                argc > 5 ? static_cast<int>(pelto::utf16_to_utf8(wide)[0]) : 0);
    return narrow.size() == 30 && wide.size() == 25 ? 0 : 1;
}
