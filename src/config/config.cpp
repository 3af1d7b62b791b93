#include "config/config.hpp"

namespace qs {

std::string_view deployModeName(DeployMode mode) {
    switch (mode) {
    case DeployMode::versioned: return "versioned";
    case DeployMode::direct: return "direct";
    }
    return "versioned";
}

}  // namespace qs
