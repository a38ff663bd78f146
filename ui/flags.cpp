#include "ui/flags.h"

#include <string>

#include "base/obfuscated.h"

namespace pelto::ui {

namespace {

constexpr std::int32_t code(char c1, char c2)
{
    return flag_first_id + 26 * (c1 - 'a') + (c2 - 'a');
}

struct keyword_entry {
    std::int32_t id;
    std::u16string keywords;  // separated by '|'
};

// Order matters: the first matching keyword wins, so places that contain another place's name
// come first (Hong Kong before China).
const std::vector<keyword_entry>& keyword_table()
{
    static const std::vector<keyword_entry> table = [] {
        std::vector<keyword_entry> t;
        auto add = [&](std::int32_t id, std::u16string_view words) { t.push_back({id, std::u16string(words)}); };
        add(code('h', 'k'), PELTO_TEXT(u"hong kong|hongkong|香港|hkg").view());
        add(code('m', 'o'), PELTO_TEXT(u"macau|macao|澳门|澳門").view());
        add(flag_code(u't', u'w'), PELTO_TEXT(u"taiwan|taipei|台湾|台灣|台北|twn").view());
        add(code('j', 'p'), PELTO_TEXT(u"japan|tokyo|osaka|日本|东京|東京|大阪|jpn").view());
        add(code('k', 'r'), PELTO_TEXT(u"korea|seoul|韩国|韓國|首尔|kor").view());
        add(code('s', 'g'), PELTO_TEXT(u"singapore|新加坡|狮城|sgp").view());
        add(code('u', 's'), PELTO_TEXT(u"united states|america|los angeles|new york|seattle|silicon valley|"
                                       u"san jose|chicago|dallas|miami|美国|美國|洛杉矶|纽约|西雅图|硅谷|usa")
                                .view());
        add(code('g', 'b'), PELTO_TEXT(u"united kingdom|britain|england|london|英国|英國|伦敦|uk|gbr").view());
        add(code('d', 'e'), PELTO_TEXT(u"germany|frankfurt|berlin|德国|德國|法兰克福|deu").view());
        add(code('f', 'r'), PELTO_TEXT(u"france|paris|法国|法國|巴黎|fra").view());
        add(code('n', 'l'), PELTO_TEXT(u"netherlands|holland|amsterdam|荷兰|荷蘭|阿姆斯特丹|nld").view());
        add(code('c', 'a'), PELTO_TEXT(u"canada|toronto|vancouver|montreal|加拿大|多伦多|温哥华|can").view());
        add(code('a', 'u'), PELTO_TEXT(u"australia|sydney|melbourne|澳大利亚|澳洲|悉尼|aus").view());
        add(code('r', 'u'), PELTO_TEXT(u"russia|moscow|俄罗斯|俄羅斯|莫斯科|rus").view());
        add(code('i', 'n'), PELTO_TEXT(u"india|mumbai|印度|孟买|ind").view());
        add(code('b', 'r'), PELTO_TEXT(u"brazil|sao paulo|巴西|bra").view());
        add(code('t', 'r'), PELTO_TEXT(u"turkey|turkiye|istanbul|土耳其|tur").view());
        add(code('i', 't'), PELTO_TEXT(u"italy|milan|意大利|米兰|ita").view());
        add(code('e', 's'), PELTO_TEXT(u"spain|madrid|西班牙|esp").view());
        add(code('c', 'h'), PELTO_TEXT(u"switzerland|zurich|瑞士|che").view());
        add(code('s', 'e'), PELTO_TEXT(u"sweden|stockholm|瑞典|swe").view());
        add(code('n', 'o'), PELTO_TEXT(u"norway|oslo|挪威|nor").view());
        add(code('f', 'i'), PELTO_TEXT(u"finland|helsinki|芬兰|芬蘭|fin").view());
        add(code('d', 'k'), PELTO_TEXT(u"denmark|copenhagen|丹麦|丹麥|dnk").view());
        add(code('p', 'l'), PELTO_TEXT(u"poland|warsaw|波兰|波蘭|pol").view());
        add(code('i', 'e'), PELTO_TEXT(u"ireland|dublin|爱尔兰|愛爾蘭|irl").view());
        add(code('a', 't'), PELTO_TEXT(u"austria|vienna|奥地利|奧地利|aut").view());
        add(code('b', 'e'), PELTO_TEXT(u"belgium|brussels|比利时|比利時|bel").view());
        add(code('u', 'a'), PELTO_TEXT(u"ukraine|kyiv|kiev|乌克兰|烏克蘭|ukr").view());
        add(code('a', 'r'), PELTO_TEXT(u"argentina|buenos aires|阿根廷|arg").view());
        add(code('m', 'x'), PELTO_TEXT(u"mexico|墨西哥|mex").view());
        add(code('c', 'l'), PELTO_TEXT(u"chile|santiago|智利|chl").view());
        add(code('c', 'o'), PELTO_TEXT(u"colombia|bogota|哥伦比亚|col").view());
        add(code('z', 'a'), PELTO_TEXT(u"south africa|johannesburg|南非|zaf").view());
        add(code('e', 'g'), PELTO_TEXT(u"egypt|cairo|埃及|egy").view());
        add(code('a', 'e'), PELTO_TEXT(u"emirates|dubai|阿联酋|迪拜|uae").view());
        add(code('s', 'a'), PELTO_TEXT(u"saudi|riyadh|沙特|ksa").view());
        add(code('i', 'l'), PELTO_TEXT(u"israel|tel aviv|以色列|isr").view());
        add(code('i', 'd'), PELTO_TEXT(u"indonesia|jakarta|印尼|印度尼西亚|idn").view());
        add(code('t', 'h'), PELTO_TEXT(u"thailand|bangkok|泰国|泰國|曼谷|tha").view());
        add(code('v', 'n'), PELTO_TEXT(u"vietnam|viet nam|hanoi|越南|vnm").view());
        add(code('m', 'y'), PELTO_TEXT(u"malaysia|kuala lumpur|马来西亚|馬來西亞|mys").view());
        add(code('p', 'h'), PELTO_TEXT(u"philippines|manila|菲律宾|菲律賓|phl").view());
        add(code('n', 'z'), PELTO_TEXT(u"new zealand|auckland|新西兰|紐西蘭|nzl").view());
        add(code('p', 't'), PELTO_TEXT(u"portugal|lisbon|葡萄牙|prt").view());
        add(code('c', 'z'), PELTO_TEXT(u"czech|prague|捷克|cze").view());
        add(code('h', 'u'), PELTO_TEXT(u"hungary|budapest|匈牙利|hun").view());
        add(code('r', 'o'), PELTO_TEXT(u"romania|bucharest|罗马尼亚|rou").view());
        add(code('b', 'g'), PELTO_TEXT(u"bulgaria|sofia|保加利亚|bgr").view());
        add(code('g', 'r'), PELTO_TEXT(u"greece|athens|希腊|希臘|grc").view());
        add(code('k', 'z'), PELTO_TEXT(u"kazakhstan|almaty|哈萨克斯坦|kaz").view());
        add(code('p', 'k'), PELTO_TEXT(u"pakistan|karachi|巴基斯坦|pak").view());
        add(code('b', 'd'), PELTO_TEXT(u"bangladesh|dhaka|孟加拉|bgd").view());
        add(code('m', 'n'), PELTO_TEXT(u"mongolia|蒙古|mng").view());
        add(code('k', 'h'), PELTO_TEXT(u"cambodia|phnom penh|柬埔寨|khm").view());
        add(code('n', 'p'), PELTO_TEXT(u"nepal|kathmandu|尼泊尔|npl").view());
        add(code('l', 'u'), PELTO_TEXT(u"luxembourg|卢森堡|lux").view());
        add(code('i', 's'), PELTO_TEXT(u"iceland|reykjavik|冰岛|冰島|isl").view());
        add(code('e', 'e'), PELTO_TEXT(u"estonia|tallinn|爱沙尼亚|est").view());
        add(code('n', 'g'), PELTO_TEXT(u"nigeria|lagos|尼日利亚|nga").view());
        add(code('c', 'n'), PELTO_TEXT(u"china|beijing|shanghai|guangzhou|shenzhen|中国|中國|北京|上海|广州|深圳|回国|chn")
                                .view());
        return t;
    }();
    return table;
}

bool ascii_letter(char16_t c)
{
    return c >= u'a' && c <= u'z';
}

std::u16string lower(std::u16string_view s)
{
    std::u16string out(s);
    for (char16_t& c : out) {
        if (c >= u'A' && c <= u'Z') {
            c = static_cast<char16_t>(c - u'A' + u'a');
        }
    }
    return out;
}

// A whole-word occurrence of `word` in `name` (word edges checked only where the keyword has
// an ASCII letter at that end).
bool matches(std::u16string_view name, std::u16string_view word)
{
    if (word.empty()) {
        return false;
    }
    for (std::size_t at = name.find(word); at != std::u16string_view::npos; at = name.find(word, at + 1)) {
        const bool left_ok = !ascii_letter(word.front()) || at == 0 || !ascii_letter(name[at - 1]);
        const std::size_t end = at + word.size();
        const bool right_ok = !ascii_letter(word.back()) || end == name.size() || !ascii_letter(name[end]);
        if (left_ok && right_ok) {
            return true;
        }
    }
    return false;
}

bool short_ascii(std::u16string_view word)
{
    if (word.size() > 3) {
        return false;
    }
    for (char16_t c : word) {
        if (!ascii_letter(c)) {
            return false;
        }
    }
    return true;
}

bool regional_indicator(char16_t hi, char16_t lo)
{
    return hi == 0xD83C && lo >= 0xDDE6 && lo <= 0xDDFF;  // U+1F1E6..U+1F1FF
}

// Position of the first pair of regional-indicator symbols in a row (four UTF-16 units), or npos.
std::size_t indicator_pair(std::u16string_view name)
{
    for (std::size_t i = 0; i + 4 <= name.size(); ++i) {
        if (regional_indicator(name[i], name[i + 1]) && regional_indicator(name[i + 2], name[i + 3])) {
            return i;
        }
    }
    return std::u16string_view::npos;
}

template <typename F>
void for_each_keyword(const std::u16string& keywords, F&& f)
{
    std::size_t from = 0;
    while (from <= keywords.size()) {
        std::size_t bar = keywords.find(u'|', from);
        if (bar == std::u16string::npos) {
            bar = keywords.size();
        }
        if (f(std::u16string_view(keywords).substr(from, bar - from))) {
            return;
        }
        from = bar + 1;
    }
}

}  // namespace

std::int32_t flag_code(char16_t c1, char16_t c2)
{
    if (c1 == u't' && c2 == u'w') {
        return code('c', 'n');
    }
    return flag_first_id + 26 * (c1 - u'a') + (c2 - u'a');
}

std::int32_t flag_resource_for(std::u16string_view name, const std::function<bool(std::int32_t)>& resource_exists)
{
    // 1. Two regional-indicator symbols in a row: U+1F1E6..U+1F1FF are D83C DDE6..DDFF.
    if (const std::size_t i = indicator_pair(name); i != std::u16string_view::npos) {
        return flag_code(static_cast<char16_t>(u'a' + (name[i + 1] - 0xDDE6)),
                         static_cast<char16_t>(u'a' + (name[i + 3] - 0xDDE6)));
    }

    // 2. Keywords: long or non-ASCII ones over the whole table first, then short ASCII ones.
    const std::u16string lowered = lower(name);
    for (const bool short_pass : {false, true}) {
        for (const keyword_entry& entry : keyword_table()) {
            bool found = false;
            for_each_keyword(entry.keywords, [&](std::u16string_view word) {
                found = short_ascii(word) == short_pass && matches(lowered, word);
                return found;
            });
            if (found) {
                return entry.id;
            }
        }
    }

    // 3. A stand-alone run of exactly two ASCII letters naming an existing flag.
    for (std::size_t i = 0; i < lowered.size();) {
        if (!ascii_letter(lowered[i])) {
            ++i;
            continue;
        }
        std::size_t end = i;
        while (end < lowered.size() && ascii_letter(lowered[end])) {
            ++end;
        }
        if (end - i == 2) {
            const std::int32_t id = flag_code(lowered[i], lowered[i + 1]);
            if (resource_exists && resource_exists(id)) {
                return id;
            }
        }
        i = end;
    }
    return 0;
}

std::int32_t flag_resource_for(std::u16string_view name)
{
    return flag_resource_for(name, embedded_resource_exists);
}

std::int32_t flag_twin_id(std::int32_t flag_id, std::size_t scale_index)
{
    return flag_id + 1000 * static_cast<std::int32_t>(scale_index + 1);
}

std::size_t flag_twin_for_height(float pixel_height)
{
    for (std::size_t k = 0; k < flag_twin_heights.size(); ++k) {
        // Half a pixel of slack: 19 DIPs at 150 % are 28.5 pixels, drawn from the 29-pixel twin.
        if (static_cast<float>(flag_twin_heights[k]) >= pixel_height - 0.5f) {
            return k;
        }
    }
    return flag_twin_heights.size() - 1;
}

std::u16string name_without_flag_emoji(std::u16string_view name)
{
    const std::size_t at = indicator_pair(name);
    if (at == std::u16string_view::npos) {
        return std::u16string(name);
    }
    std::size_t end = at + 4;
    if (end < name.size() && name[end] == u' ') {
        ++end;
    }
    std::u16string shown(name.substr(0, at));
    shown.append(name.substr(end));
    return shown;
}

std::vector<std::int32_t> keyword_flag_ids()
{
    std::vector<std::int32_t> ids;
    for (const keyword_entry& entry : keyword_table()) {
        ids.push_back(entry.id);
    }
    return ids;
}

}  // namespace pelto::ui
