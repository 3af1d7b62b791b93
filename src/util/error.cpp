#include "util/error.hpp"

namespace qs {

std::string_view errorName(Error e) {
    // No default: -Wswitch flags a name that the list gained but this table lacks.
    switch (e) {
#define QS_ERROR_NAME(name)                                                                        \
    case Error::name:                                                                              \
        return #name;
        QS_ERROR_LIST(QS_ERROR_NAME)
#undef QS_ERROR_NAME
    }
    return "Unexpected";
}

}  // namespace qs
