#include <windows.h>

#include "ui/flags.h"

namespace pelto::ui {

bool embedded_resource_exists(std::int32_t id)
{
    return FindResourceW(nullptr, MAKEINTRESOURCEW(id), MAKEINTRESOURCEW(10)) != nullptr;  // RT_RCDATA
}

}  // namespace pelto::ui
