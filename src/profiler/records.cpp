#include "profiler/records.hpp"

#include "format/ulid.hpp"

namespace zelm {
namespace {

using msgpack::kEncodedStrs;
using msgpack::kMostHeader;
using msgpack::Writer;

// The most a str of `text` (or nil in its place) takes.
std::size_t most(std::string_view text) { return kMostHeader + text.size(); }
std::size_t most_or_nil(const std::optional<std::string_view>& text) { return most(text.value_or(std::string_view())); }

std::optional<std::string_view> view(const std::optional<std::string>& text) {
    return text ? std::optional<std::string_view>(*text) : std::nullopt;
}
std::optional<std::string_view> view(const std::optional<FrameId>& id) {
    return id ? std::optional<std::string_view>(id->view()) : std::nullopt;
}

void str_or_nil(Writer& writer, const std::optional<std::string_view>& text) {
    if (text) {
        writer.str(*text);
    } else {
        writer.nil();
    }
}

// Keys both records begin with.
constexpr auto kPath = kEncodedStrs<"path">;
constexpr auto kCoName = kEncodedStrs<"co_name">;
constexpr auto kFrameId = kEncodedStrs<"frame_id">;

// The keys and fixed values of the entries every record of the profiler's
// own ends with, in this order:
// "thread" str | "thread_native_id" uint/nil | "timestamp" f64 | "type" str
template <msgpack::Literal Type>
struct Ending {
    static constexpr auto kThread = kEncodedStrs<"thread">;
    static constexpr auto kNativeId = kEncodedStrs<"thread_native_id">;
    static constexpr auto kTimestamp = kEncodedStrs<"timestamp">;
    static constexpr auto kType = kEncodedStrs<"type", Type>;

    static std::size_t most(const ThreadIdentity& thread) {
        return kThread.size() + zelm::most(thread.name) + kNativeId.size() + kMostHeader + kTimestamp.size() +
               kMostHeader + kType.size();
    }
    static void write(Writer& writer, const ThreadIdentity& thread) {
        writer.bytes(kThread);
        writer.str(thread.name);
        writer.bytes(kNativeId);
        if (thread.native_id) {
            writer.uint(*thread.native_id);
        } else {
            writer.nil();
        }
        writer.bytes(kTimestamp);
        writer.f64(timestamp());
        writer.bytes(kType);
    }
};

}  // namespace

// The 12-entry frame record.
//   fixmap(12) "path" str | "co_name" str | "qualname" str/nil | "event" str |
//   "frame_id" str/nil | "arg" raw | "locals" raw | "thread" str |
//   "thread_native_id" uint/nil | "timestamp" f64 | "type" "frame" |
//   "user_code_call_site" nil / {"call_frame_id": str, "line_number": int}
void write_frame_record(Record& record, std::string_view path, std::string_view co_name,
                        const std::optional<std::string_view>& qualname, Event event,
                        const std::optional<FrameId>& frame_id, const EncodedValue& arg,
                        const EncodedValue& locals, const ThreadIdentity& thread,
                        const std::optional<CallSite>& call_site) {
    using Frame = Ending<"frame">;
    static constexpr auto kQualname = kEncodedStrs<"qualname">;
    static constexpr auto kEvent = kEncodedStrs<"event">;
    static constexpr auto kArg = kEncodedStrs<"arg">;
    static constexpr auto kLocals = kEncodedStrs<"locals">;
    static constexpr auto kCallSite = kEncodedStrs<"user_code_call_site">;
    static constexpr auto kCallFrameId = kEncodedStrs<"call_frame_id">;
    static constexpr auto kLineNumber = kEncodedStrs<"line_number">;

    const std::optional<std::string_view> shown_frame_id = view(frame_id);
    const msgpack::Bytes arg_bytes = arg.bytes();
    const msgpack::Bytes locals_bytes = locals.bytes();
    const std::size_t size = 1 + kPath.size() + most(path) + kCoName.size() + most(co_name) +
                             kQualname.size() + most_or_nil(qualname) + kEvent.size() +
                             most(event_name(event)) + kFrameId.size() + most_or_nil(shown_frame_id) +
                             kArg.size() + arg_bytes.size() + kLocals.size() + locals_bytes.size() +
                             Frame::most(thread) + kCallSite.size() + 1 + kCallFrameId.size() +
                             most(FrameId{}.view()) + kLineNumber.size() + kMostHeader;
    msgpack::append(record, size, [&](Writer& writer) {
        writer.map_header(12);
        writer.bytes(kPath);
        writer.str(path);
        writer.bytes(kCoName);
        writer.str(co_name);
        writer.bytes(kQualname);
        str_or_nil(writer, qualname);
        writer.bytes(kEvent);
        writer.str(event_name(event));
        writer.bytes(kFrameId);
        str_or_nil(writer, shown_frame_id);
        writer.bytes(kArg);
        writer.bytes(arg_bytes.data(), arg_bytes.size());
        writer.bytes(kLocals);
        writer.bytes(locals_bytes.data(), locals_bytes.size());
        Frame::write(writer, thread);
        writer.bytes(kCallSite);
        if (call_site) {
            writer.map_header(2);
            writer.bytes(kCallFrameId);
            writer.str(call_site->call_frame_id.view());
            writer.bytes(kLineNumber);
            writer.integer(call_site->line_number);
        } else {
            writer.nil();
        }
    });
}

// The exception record, filed right after the "return" record of a frame
// left by an exception, with that frame's id so that a reader pairs them.
//   fixmap(9) "path" str | "co_name" str | "frame_id" str/nil |
//   "exception_type" str/nil | "exception" raw/nil | "thread" str |
//   "thread_native_id" uint/nil | "timestamp" f64 | "type" "exception"
// "exception" is the exception serialised like any value (its repr);
// both are nil when the interpreter did not let us see the exception.
void write_exception_record(Record& record, const UnwoundFrame& frame,
                            const std::optional<std::string>& type_name,
                            const std::optional<EncodedValue>& exception, const ThreadIdentity& thread) {
    using Exception = Ending<"exception">;
    static constexpr auto kExceptionType = kEncodedStrs<"exception_type">;
    static constexpr auto kException = kEncodedStrs<"exception">;

    const std::optional<std::string_view> shown_frame_id = view(frame.frame_id);
    const std::optional<std::string_view> shown_type = view(type_name);
    const msgpack::Bytes exception_bytes = exception ? exception->bytes() : msgpack::Bytes();
    const std::size_t size = 1 + kPath.size() + most(frame.path) + kCoName.size() + most(frame.co_name) +
                             kFrameId.size() + most_or_nil(shown_frame_id) + kExceptionType.size() +
                             most_or_nil(shown_type) + kException.size() + 1 + exception_bytes.size() +
                             Exception::most(thread);
    msgpack::append(record, size, [&](Writer& writer) {
        writer.map_header(9);
        writer.bytes(kPath);
        writer.str(frame.path);
        writer.bytes(kCoName);
        writer.str(frame.co_name);
        writer.bytes(kFrameId);
        str_or_nil(writer, shown_frame_id);
        writer.bytes(kExceptionType);
        str_or_nil(writer, shown_type);
        writer.bytes(kException);
        if (exception) {
            writer.bytes(exception_bytes.data(), exception_bytes.size());
        } else {
            writer.nil();
        }
        Exception::write(writer, thread);
    });
}

}  // namespace zelm
