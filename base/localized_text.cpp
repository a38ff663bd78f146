#include "base/localized_text.h"

#include "base/obfuscated.h"

#include <array>
#include <string>

namespace pelto {

std::atomic<std::int32_t> language_choice{0};

namespace {

using message_table = std::array<std::u16string, 2 * message_count>;

// Entry 2 * id is English, entry 2 * id + 1 Simplified Chinese.
message_table build_table()
{
    message_table t;
    std::size_t next = 0;
    const auto add = [&](std::u16string_view english, std::u16string_view chinese) {
        t[next++] = english;
        t[next++] = chinese;
    };
    // 0-5: page titles, descriptions and switch labels.
    add(PELTO_TEXT(u"Nodes").view(), PELTO_TEXT(u"节点").view());
    add(PELTO_TEXT(u"Settings").view(), PELTO_TEXT(u"设置").view());
    add(PELTO_TEXT(u"Subscription, language and connection options").view(),
        PELTO_TEXT(u"订阅、语言与连接选项").view());
    add(PELTO_TEXT(u"Leak protection").view(), PELTO_TEXT(u"防泄漏保护").view());
    add(PELTO_TEXT(u"In TUN mode, block traffic that bypasses the tunnel").view(),
        PELTO_TEXT(u"TUN 模式下拦截绕过隧道的流量").view());
    add(PELTO_TEXT(u"TUN mode").view(), PELTO_TEXT(u"TUN 模式").view());
    // 6-11: buttons.
    add(PELTO_TEXT(u"Connect").view(), PELTO_TEXT(u"连接").view());
    add(PELTO_TEXT(u"Disconnect").view(), PELTO_TEXT(u"断开连接").view());
    add(PELTO_TEXT(u"Switch node").view(), PELTO_TEXT(u"切换节点").view());
    add(PELTO_TEXT(u"Save").view(), PELTO_TEXT(u"保存").view());
    add(PELTO_TEXT(u"Back").view(), PELTO_TEXT(u"返回").view());
    add(PELTO_TEXT(u"Refresh list").view(), PELTO_TEXT(u"刷新列表").view());
    // 12-21: status lines and node-list texts.
    add(PELTO_TEXT(u"Loading nodes…").view(), PELTO_TEXT(u"正在加载节点…").view());
    add(PELTO_TEXT(u"Testing…").view(), PELTO_TEXT(u"测速中…").view());
    add(PELTO_TEXT(u"Connecting…").view(), PELTO_TEXT(u"正在连接…").view());
    add(PELTO_TEXT(u"Disconnecting…").view(), PELTO_TEXT(u"正在断开…").view());
    add(PELTO_TEXT(u"Connected").view(), PELTO_TEXT(u"已连接").view());
    add(PELTO_TEXT(u"Not connected").view(), PELTO_TEXT(u"未连接").view());
    add(PELTO_TEXT(u"An unexpected error occurred").view(), PELTO_TEXT(u"发生意外错误").view());
    add(PELTO_TEXT(u"No nodes available").view(), PELTO_TEXT(u"暂无可用节点").view());
    add(PELTO_TEXT(u"Unavailable").view(), PELTO_TEXT(u"不可用").view());
    add(PELTO_TEXT(u"Closing…").view(), PELTO_TEXT(u"正在关闭…").view());
    // 22-24: settings and elevation errors.
    add(PELTO_TEXT(u"Invalid subscription URL").view(), PELTO_TEXT(u"订阅地址无效").view());
    add(PELTO_TEXT(u"Could not save settings").view(), PELTO_TEXT(u"无法保存设置").view());
    add(PELTO_TEXT(u"TUN mode requires administrator rights").view(),
        PELTO_TEXT(u"TUN 模式需要管理员权限").view());
    // 25-28: downloads. 25 is followed by the status code.
    add(PELTO_TEXT(u"The server returned an error").view(), PELTO_TEXT(u"服务器返回错误").view());
    add(PELTO_TEXT(u"Could not read the data").view(), PELTO_TEXT(u"无法读取数据").view());
    add(PELTO_TEXT(u"The server returned no data").view(), PELTO_TEXT(u"服务器未返回任何数据").view());
    add(PELTO_TEXT(u"The response is too large").view(), PELTO_TEXT(u"响应数据过大").view());
    // 29-34: engine and TUN mode.
    add(PELTO_TEXT(u"No usable nodes found").view(), PELTO_TEXT(u"未找到可用节点").view());
    add(PELTO_TEXT(u"Could not initialize networking").view(), PELTO_TEXT(u"网络初始化失败").view());
    add(PELTO_TEXT(u"Could not change the system proxy").view(),
        PELTO_TEXT(u"无法更改系统代理设置").view());
    add(PELTO_TEXT(u"Could not start TUN mode").view(), PELTO_TEXT(u"无法启动 TUN 模式").view());
    add(PELTO_TEXT(u"The program is closing").view(), PELTO_TEXT(u"程序正在退出").view());
    add(PELTO_TEXT(u"Could not enable leak protection").view(),
        PELTO_TEXT(u"无法启用防泄漏保护").view());
    // 35-39: settings page.
    add(PELTO_TEXT(u"Language").view(), PELTO_TEXT(u"语言").view());
    add(PELTO_TEXT(u"System default").view(), PELTO_TEXT(u"跟随系统").view());
    add(PELTO_TEXT(u"Subscription URL").view(), PELTO_TEXT(u"订阅地址").view());
    add(PELTO_TEXT(u"Clear").view(), PELTO_TEXT(u"清除").view());
    add(PELTO_TEXT(u"Paste a subscription URL (optional)").view(),
        PELTO_TEXT(u"粘贴订阅地址（可选）").view());
    // 40-41: node-list sources.
    add(PELTO_TEXT(u"No valid subscription endpoints configured").view(),
        PELTO_TEXT(u"未配置有效的订阅端点").view());
    add(PELTO_TEXT(u"No node responded").view(), PELTO_TEXT(u"所有节点均无响应").view());
    return t;
}

const message_table& table()
{
    static const message_table instance = build_table();
    return instance;
}

}  // namespace

const char16_t* localized_text(message_id message, bool second)
{
    const int id = static_cast<int>(message);
    if (id < 0 || id >= message_count) {
        return u"";
    }
    return table()[static_cast<std::size_t>(2 * id + (second ? 1 : 0))].c_str();
}

bool use_second_language()
{
    const std::int32_t choice = language_choice.load();
    if (choice == 0) {
        return system_ui_language_is_chinese();
    }
    return choice == 1;
}

const char16_t* localized_text(message_id id)
{
    return localized_text(id, use_second_language());
}

}  // namespace pelto
