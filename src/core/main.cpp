#include "core/log.hpp"
#include "platform/fd.hpp"
#include "platform/process_state.hpp"

int main(int, char**) {
    qs::platform::installSignalHandlers();
    (void)qs::platform::writeAll(1, "quillstead 0.3.1\n");
    return 0;
}
