#include "formats/inflater.hpp"

namespace qs {

struct Inflater::Engine {};

InflateEngine defaultInflateEngine() {
#ifdef QUILLSTEAD_HAVE_ISAL
    return InflateEngine::isal;
#else
    return InflateEngine::zlib;
#endif
}

bool inflateEngineAvailable(InflateEngine engine) {
    switch (engine) {
    case InflateEngine::zlib:
        return true;
    case InflateEngine::isal:
#ifdef QUILLSTEAD_HAVE_ISAL
        return true;
#else
        return false;
#endif
    }
    return false;
}

Inflater::Inflater(Reader& input, Container container, std::span<char> window, InflateEngine engine)
    : input_(input), container_(container), window_(window),
      engine_(inflateEngineAvailable(engine) ? engine : InflateEngine::zlib) {}

Inflater::~Inflater() = default;

Result<void> Inflater::start() { return std::unexpected(Error::ReadFailed); }

Result<std::size_t> Inflater::read(std::span<char>) {
    phase_ = Phase::failed;
    return std::unexpected(Error::ReadFailed);
}

}  // namespace qs
