#include "formats/inflater.hpp"

#include <zlib.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>
#include <new>
#include <utility>

#ifdef QUILLSTEAD_HAVE_ISAL
#include <isa-l/igzip_lib.h>
#endif

namespace qs {

namespace {

enum class StepStatus { running, finished, failed, out_of_memory };

struct Step {
    std::size_t consumed = 0;
    std::size_t produced = 0;
    StepStatus status = StepStatus::running;
};

// The fixed part of the header, checked here for both engines so that they
// refuse exactly the same streams whatever each library would let through
// (reserved gzip flags, zlib's check bits, preset dictionaries).
constexpr std::size_t kGzipFixedHeader = 10;
constexpr std::size_t kZlibFixedHeader = 2;

bool fixedHeaderValid(Container container, std::string_view bytes) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
    switch (container) {
    case Container::gzip:
        // Magic 31 139, method 8 (deflate), no reserved flag bits: a flag
        // this decoder does not know could announce a field it would
        // misread as deflate data.
        return byte(0) == 31 && byte(1) == 139 && byte(2) == 8 && (byte(3) & 0xE0) == 0;
    case Container::zlib: {
        const unsigned cmf = byte(0);
        const unsigned flg = byte(1);
        // Method 8 with at most a 32 KiB window, the check bits right, and
        // no preset dictionary (the daemon has none to give).
        return (cmf & 0x0F) == 8 && (cmf >> 4) <= 7 && (cmf * 256 + flg) % 31 == 0 &&
               (flg & 0x20) == 0;
    }
    }
    return false;
}

}  // namespace

// What the decoders of both engines share: the compressed-input buffer and where it stands.
struct Inflater::Decoder {
    Decoder() = default;
    Decoder(const Decoder&) = delete;
    Decoder& operator=(const Decoder&) = delete;
    virtual ~Decoder() = default;

    // Decodes from `in` into `out`. `in` empty means the input has ended.
    virtual Step run(std::span<const char> in, std::span<char> out) = 0;
    // Ends the decoder and releases its memory (the object included).
    virtual void destroy() = 0;

    std::span<char> input_buffer;
    std::size_t input_begin = 0;
    std::size_t input_end = 0;
    bool input_ended = false;
};

namespace {

// zlib keeps everything in the caller's workspace: the z_stream, the library's
// allocations (its state of about 7 KiB and its 32 KiB history) bump-
// allocated from an arena, and the rest as the compressed-input buffer. So
// the zlib engine touches no heap unless a zlib build wants more than the
// arena holds.
class ZlibDecoder final : public Inflater::Decoder {
public:
    static constexpr std::size_t kArenaSize = 40 * 1024;
    static constexpr std::size_t kMinimumInput = 16 * 1024;

    static ZlibDecoder* create(Container container, std::span<char> workspace) {
        if (workspace.size() < kInflateWorkspaceSize) return nullptr;
        // The caller's buffer is plain chars: align the object inside it.
        void* place = workspace.data();
        std::size_t space = workspace.size();
        if (std::align(alignof(ZlibDecoder), sizeof(ZlibDecoder), place, space) == nullptr) return nullptr;
        const std::size_t object_end =
            static_cast<std::size_t>(static_cast<char*>(place) - workspace.data()) + sizeof(ZlibDecoder);
        if (object_end + kArenaSize + kMinimumInput > workspace.size()) return nullptr;
        auto* decoder = new (place) ZlibDecoder(workspace.subspan(object_end, kArenaSize));
        decoder->input_buffer = workspace.subspan(object_end + kArenaSize);
        // The gzip wrapper alone (16 + 15) or the zlib wrapper alone (15):
        // zlib's automatic detection would let the wrong container through.
        const int window_bits = container == Container::gzip ? 16 + MAX_WBITS : MAX_WBITS;
        if (inflateInit2(&decoder->stream_, window_bits) != Z_OK) {
            decoder->~ZlibDecoder();
            return nullptr;
        }
        decoder->initialised_ = true;
        return decoder;
    }

    Step run(std::span<const char> in, std::span<char> out) override {
        // zlib's interface is not const-correct; it never writes through next_in.
        stream_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
        stream_.avail_in = static_cast<uInt>(in.size());
        stream_.next_out = reinterpret_cast<Bytef*>(out.data());
        stream_.avail_out = static_cast<uInt>(std::min<std::size_t>(out.size(), UINT32_MAX));
        const uInt out_before = stream_.avail_out;
        const int status = inflate(&stream_, Z_NO_FLUSH);
        Step step;
        step.consumed = in.size() - stream_.avail_in;
        step.produced = out_before - stream_.avail_out;
        switch (status) {
        case Z_OK:
        case Z_BUF_ERROR:  // no progress possible with this input; the caller decides
            step.status = StepStatus::running;
            break;
        case Z_STREAM_END:
            step.status = StepStatus::finished;
            break;
        case Z_MEM_ERROR:
            step.status = StepStatus::out_of_memory;
            break;
        default:  // Z_DATA_ERROR (bad data or check value), Z_NEED_DICT, Z_STREAM_ERROR
            step.status = StepStatus::failed;
            break;
        }
        return step;
    }

    void destroy() override {
        if (initialised_) inflateEnd(&stream_);
        this->~ZlibDecoder();
    }

private:
    explicit ZlibDecoder(std::span<char> arena) : arena_(arena) {
        stream_.zalloc = &ZlibDecoder::allocate;
        stream_.zfree = &ZlibDecoder::release;
        stream_.opaque = this;
    }

    static voidpf allocate(voidpf opaque, uInt items, uInt size) {
        auto* self = static_cast<ZlibDecoder*>(opaque);
        const std::size_t bytes = std::size_t{items} * size;
        void* place = self->arena_.data() + self->arena_used_;
        std::size_t space = self->arena_.size() - self->arena_used_;
        if (std::align(alignof(std::max_align_t), bytes, place, space) != nullptr) {
            self->arena_used_ = self->arena_.size() - space + bytes;
            return place;
        }
        return std::malloc(bytes);
    }

    static void release(voidpf opaque, voidpf address) {
        auto* self = static_cast<ZlibDecoder*>(opaque);
        const auto* p = static_cast<const char*>(address);
        // Arena memory goes with the workspace; only heap fall-backs are freed.
        if (p >= self->arena_.data() && p < self->arena_.data() + self->arena_.size()) return;
        std::free(address);
    }

    z_stream stream_{};
    std::span<char> arena_;
    std::size_t arena_used_ = 0;
    bool initialised_ = false;
};

#ifdef QUILLSTEAD_HAVE_ISAL
// Walks a gzip header as it streams in, checking its CRC-16 when it has one.
// ISA-L 2.30 mishandles a gzip header that arrives in pieces: it takes the
// CRC-16 over the bytes of its last call only, and good headers with a name
// or an extra field failed now and then under test. So the ISA-L engine
// walks the gzip header here and hands the library the deflate data and the
// trailer.
class GzipHeaderWalker {
public:
    enum class Status { more, done, bad };

    // Consumes header bytes from `in`, never past the header's end.
    std::size_t feed(std::span<const char> in, Status& status) {
        std::size_t i = 0;
        std::size_t covered_end = 0;  // bytes of `in` the CRC-16 covers
        status = Status::more;
        while (i < in.size() && stage_ != Stage::done) {
            const Stage before = stage_;
            const auto byte = static_cast<unsigned char>(in[i++]);
            switch (stage_) {
            case Stage::fixed:
                if (position_ == 3) flags_ = byte;
                if (++position_ == kGzipFixedHeader) advance();
                break;
            case Stage::extra_length:
                extra_left_ |= static_cast<std::size_t>(byte) << (8 * position_);
                if (++position_ == 2) {
                    stage_ = Stage::extra;
                    if (extra_left_ == 0) advance();
                }
                break;
            case Stage::extra:
                if (--extra_left_ == 0) advance();
                break;
            case Stage::name:
            case Stage::comment:
                if (byte == 0) advance();
                break;
            case Stage::header_crc:
                stored_crc_ |= static_cast<std::uint32_t>(byte) << (8 * position_);
                if (++position_ == 2) stage_ = Stage::done;
                break;
            case Stage::done:
                break;
            }
            if (before != Stage::header_crc) covered_end = i;
        }
        crc_ = static_cast<std::uint32_t>(crc32(crc_, reinterpret_cast<const Bytef*>(in.data()),
                                                static_cast<uInt>(covered_end)));
        if (stage_ == Stage::done) {
            const bool crc_good = (flags_ & 0x02) == 0 || stored_crc_ == (crc_ & 0xFFFF);
            status = crc_good ? Status::done : Status::bad;
        }
        return i;
    }

private:
    enum class Stage { fixed, extra_length, extra, name, comment, header_crc, done };

    // Moves to the next field the flags announce, in the order they come.
    void advance() {
        static constexpr std::pair<Stage, unsigned> kOptional[] = {
            {Stage::extra_length, 0x04}, {Stage::name, 0x08}, {Stage::comment, 0x10},
            {Stage::header_crc, 0x02}};
        position_ = 0;
        while (next_optional_ < std::size(kOptional)) {
            const auto [stage, flag] = kOptional[next_optional_++];
            if ((flags_ & flag) != 0) {
                stage_ = stage;
                return;
            }
        }
        stage_ = Stage::done;
    }

    Stage stage_ = Stage::fixed;
    std::size_t next_optional_ = 0;
    std::size_t position_ = 0;
    unsigned flags_ = 0;
    std::size_t extra_left_ = 0;
    std::uint32_t stored_crc_ = 0;
    std::uint32_t crc_ = 0;
};

// ISA-L's state (about 85 KiB, its history buffer included) does not fit the
// workspace, so it lives on the heap and the whole workspace is the input buffer.
// The library checks the trailer itself.
class IsalDecoder final : public Inflater::Decoder {
public:
    static IsalDecoder* create(Container container, std::span<char> workspace) {
        if (workspace.size() < kInflateWorkspaceSize) return nullptr;
        auto* decoder = new (std::nothrow) IsalDecoder;
        if (decoder == nullptr) return nullptr;
        isal_inflate_init(&decoder->state_);
        // Raw deflate with the gzip trailer checked after the header walked
        // here; for zlib the library reads the two header bytes (always there
        // in one piece: the caller gathered them first) and checks Adler-32.
        decoder->state_.crc_flag = container == Container::gzip ? ISAL_GZIP_NO_HDR_VER : ISAL_ZLIB;
        decoder->walk_header_ = container == Container::gzip;
        decoder->input_buffer = workspace;
        return decoder;
    }

    Step run(std::span<const char> in, std::span<char> out) override {
        if (walk_header_) {
            Step step;
            GzipHeaderWalker::Status status{};
            step.consumed = walker_.feed(in, status);
            if (status == GzipHeaderWalker::Status::bad) step.status = StepStatus::failed;
            if (status == GzipHeaderWalker::Status::done) walk_header_ = false;
            return step;
        }
        // ISA-L's interface is not const-correct; it never writes through next_in.
        state_.next_in = reinterpret_cast<std::uint8_t*>(const_cast<char*>(in.data()));
        state_.avail_in = static_cast<std::uint32_t>(in.size());
        state_.next_out = reinterpret_cast<std::uint8_t*>(out.data());
        state_.avail_out = static_cast<std::uint32_t>(std::min<std::size_t>(out.size(), UINT32_MAX));
        const std::uint32_t out_before = state_.avail_out;
        const int status = isal_inflate(&state_);
        Step step;
        step.consumed = in.size() - state_.avail_in;
        step.produced = out_before - state_.avail_out;
        if (status != ISAL_DECOMP_OK) {
            // Negative values are defects; ISAL_NEED_DICT asks for a preset
            // dictionary the daemon does not have.
            step.status = StepStatus::failed;
        } else if (state_.block_state == ISAL_BLOCK_FINISH) {
            step.status = StepStatus::finished;
        }
        return step;
    }

    void destroy() override { delete this; }

private:
    IsalDecoder() = default;
    inflate_state state_{};
    bool walk_header_ = false;
    GzipHeaderWalker walker_;
};
#endif

}  // namespace

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

Inflater::Inflater(Reader& input, Container container, std::span<char> workspace, InflateEngine engine)
    : input_(input), container_(container), workspace_(workspace),
      engine_(inflateEngineAvailable(engine) ? engine : InflateEngine::zlib) {}

Inflater::~Inflater() {
    if (state_ != nullptr) state_->destroy();
}

Result<void> Inflater::start() {
    switch (engine_) {
    case InflateEngine::zlib:
        state_ = ZlibDecoder::create(container_, workspace_);
        break;
    case InflateEngine::isal:
#ifdef QUILLSTEAD_HAVE_ISAL
        state_ = IsalDecoder::create(container_, workspace_);
#endif
        break;
    }
    if (state_ == nullptr) return std::unexpected(Error::OutOfMemory);

    // Gather the fixed part of the header so it can be checked before either
    // library sees it.
    const std::size_t need = container_ == Container::gzip ? kGzipFixedHeader : kZlibFixedHeader;
    Decoder& e = *state_;
    while (e.input_end < need) {
        const auto n = input_.read(e.input_buffer.subspan(e.input_end));
        if (!n || *n == 0) return std::unexpected(Error::ReadFailed);
        e.input_end += *n;
    }
    if (!fixedHeaderValid(container_, std::string_view(e.input_buffer.data(), e.input_end)))
        return std::unexpected(Error::ReadFailed);
    return {};
}

Result<std::size_t> Inflater::read(std::span<char> out) {
    switch (phase_) {
    case Phase::ended:
        return 0;
    case Phase::failed:
        return std::unexpected(Error::ReadFailed);
    case Phase::fresh: {
        const auto started = start();
        if (!started) {
            phase_ = Phase::failed;
            return std::unexpected(started.error());
        }
        phase_ = Phase::running;
        break;
    }
    case Phase::running:
        break;
    }
    if (out.empty()) return 0;

    Decoder& e = *state_;
    const auto fail = [this](Error error) -> Result<std::size_t> {
        phase_ = Phase::failed;
        return std::unexpected(error);
    };
    for (;;) {
        if (e.input_begin == e.input_end && !e.input_ended) {
            const auto n = input_.read(e.input_buffer);
            if (!n) return fail(Error::ReadFailed);
            e.input_begin = 0;
            e.input_end = *n;
            e.input_ended = *n == 0;
        }
        const std::span<const char> in(e.input_buffer.data() + e.input_begin,
                                       e.input_end - e.input_begin);
        const Step step = e.run(in, out);
        e.input_begin += step.consumed;
        switch (step.status) {
        case StepStatus::failed:
            return fail(Error::ReadFailed);
        case StepStatus::out_of_memory:
            return fail(Error::OutOfMemory);
        case StepStatus::finished:
            // The end of the first member ends the stream; whatever the input
            // holds after it stays unread by the consumer.
            phase_ = Phase::ended;
            return step.produced;
        case StepStatus::running:
            break;
        }
        if (step.produced > 0) return step.produced;
        // Input that ends before the stream does is a truncated stream.
        if (e.input_ended) return fail(Error::ReadFailed);
        // With input left and room for output, an engine that moves nothing
        // would loop for ever; that cannot be valid data.
        if (step.consumed == 0 && !in.empty()) return fail(Error::ReadFailed);
    }
}

}  // namespace qs
