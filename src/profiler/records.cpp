#include "profiler/records.hpp"

#include "utils/ulid.hpp"

namespace zelm {
namespace {

// The entries every record of the profiler's own ends with, in this order:
// "thread" str | "thread_native_id" uint/nil | "timestamp" f64 | "type" str
void write_thread_time_type(Record& record, const ThreadIdentity& thread, std::string_view type) {
    using namespace msgpack;
    write_str(record, "thread");
    write_str(record, thread.name);
    write_int_pair(record, "thread_native_id", thread.native_id);
    write_f64_pair(record, "timestamp", timestamp());
    write_str(record, "type");
    write_str(record, type);
}

}  // namespace

// The 12-entry frame record.
//   fixmap(12) "path" str | "co_name" str | "qualname" str/nil | "event" str |
//   "frame_id" str/nil | "arg" raw | "locals" raw | "thread" str |
//   "thread_native_id" uint/nil | "timestamp" f64 | "type" "frame" |
//   "user_code_call_site" nil / {"call_frame_id": str, "line_number": int}
void write_frame_record(Record& record, std::string_view path, std::string_view co_name,
                        const std::optional<std::string>& qualname, Event event,
                        const std::optional<FrameId>& frame_id, const EncodedValue& arg,
                        const EncodedValue& locals, const ThreadIdentity& thread,
                        const std::optional<CallSite>& call_site) {
    using namespace msgpack;
    write_map_header(record, 12);
    write_str(record, "path");
    write_str(record, path);
    write_str(record, "co_name");
    write_str(record, co_name);
    write_str_pair(record, "qualname",
                   qualname ? std::optional<std::string_view>(*qualname) : std::nullopt);
    write_str(record, "event");
    write_str(record, event_name(event));
    write_str_pair(record, "frame_id",
                   frame_id ? std::optional<std::string_view>(frame_id->view()) : std::nullopt);
    write_raw_pair(record, "arg", arg.bytes());
    write_raw_pair(record, "locals", locals.bytes());
    write_thread_time_type(record, thread, "frame");
    write_str(record, "user_code_call_site");
    if (call_site) {
        write_map_header(record, 2);
        write_str(record, "call_frame_id");
        write_str(record, call_site->call_frame_id.view());
        write_str(record, "line_number");
        write_int(record, call_site->line_number);
    } else {
        write_nil(record);
    }
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
    using namespace msgpack;
    write_map_header(record, 9);
    write_str(record, "path");
    write_str(record, frame.path);
    write_str(record, "co_name");
    write_str(record, frame.co_name);
    write_str_pair(record, "frame_id",
                   frame.frame_id ? std::optional<std::string_view>(frame.frame_id->view()) : std::nullopt);
    write_str_pair(record, "exception_type",
                   type_name ? std::optional<std::string_view>(*type_name) : std::nullopt);
    write_str(record, "exception");
    if (exception) {
        write_raw(record, exception->bytes());
    } else {
        write_nil(record);
    }
    write_thread_time_type(record, thread, "exception");
}

}  // namespace zelm
