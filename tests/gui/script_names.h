#pragma once
// Node names as subscriptions write them: an emoji flag, then a name in Cyrillic, Greek, Japanese
// (Kanji, Hiragana, Katakana), Korean, traditional Chinese, Persian, Arabic, Ukrainian,
// Vietnamese, and two names too long for a row. The screens preview shows them; the glyph test
// checks that every one of them draws without a missing-glyph box.

#include <string>
#include <vector>

namespace pelto::testing {

inline std::vector<std::u16string> script_names()
{
    return {
        u"\U0001F1F7\U0001F1FA Москва Россия 01",
        u"\U0001F1EC\U0001F1F7 Αθήνα Ελλάδα 02",
        u"\U0001F1EF\U0001F1F5 東京 さくら トウキョウ 03",
        u"\U0001F1F0\U0001F1F7 서울 한국 부산 04",
        u"\U0001F1F9\U0001F1FC 臺北 高雄 繁體 05",
        u"\U0001F1EE\U0001F1F7 تهران پارس ژیان گلستان ۰۶",
        u"\U0001F1F8\U0001F1E6 الرياض السعودية 07",
        u"\U0001F1FA\U0001F1E6 Київ Україна Їжак 08",
        u"\U0001F1FB\U0001F1F3 Hà Nội Việt Nam 09",
        u"\U0001F1ED\U0001F1F0 香港 九龍 灣仔 10",
        u"\U0001F1E9\U0001F1EA Очень длинное название узла в Германии для проверки обрезки строки 11",
        u"\U0001F1EF\U0001F1F5 とても長いノード名の表示を確認するための東京サーバー 12",
    };
}

}  // namespace pelto::testing
