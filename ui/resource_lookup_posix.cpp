#include "ui/flags.h"

namespace pelto::ui {

// Linux builds carry no resource section.
bool embedded_resource_exists(std::int32_t)
{
    return false;
}

}  // namespace pelto::ui
