#include "app/config.hpp"

Config& config()
{
    static Config settings;
    return settings;
}
