// multipart/form-data request bodies, read as they arrive: the body may come in pieces of any size,
// and one field (the file of a chunk upload) can be handed on piece by piece instead of being held,
// so a chunk of several MiB goes from the network buffer to its file without a copy of the body.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct FormField {
    std::string name;
    std::string value;      // empty for the streamed field
    bool streamed = false;  // its bytes went to the reader's sink
    uint64_t size = 0;      // bytes in the value, streamed or kept
};

// The boundary of a multipart/form-data content type, quoted or not; nothing for any other type
// or a boundary that the format does not allow.
std::optional<std::string> form_boundary(std::string_view content_type);

// Reads one body. Refused: a missing or malformed boundary line, a part without a form-data
// Content-Disposition naming it, a field given twice, a field without its closing boundary, more
// than 64 fields, part headers over 8 KiB. Anything before the first boundary line and after the
// closing one is ignored.
class FormReader {
public:
    // Takes the streamed field's bytes in order: once with no bytes when the field begins, then
    // each piece as it arrives. The field may still turn out malformed; finish() tells.
    using Sink = std::function<void(std::string_view bytes)>;

    // `streamed`: the name of the field handed to `sink` (its first occurrence); empty for none.
    explicit FormReader(const std::string& boundary, std::string streamed = {}, Sink sink = {});

    // The next bytes of the body. Once an error is found, or the closing line is read, the rest
    // is ignored.
    void feed(std::string_view piece);
    // Ends the body: empty text when it was a whole form, else what is wrong.
    std::string finish();
    // The fields read whole so far, in their order.
    const std::vector<FormField>& fields() const { return fields_; }

private:
    enum class Stage { start, preamble, after_delimiter, headers, content, done };

    void on_headers(std::string_view headers);
    void end_field();
    void take(std::string_view bytes);
    // Looks for the separator in `in`, giving what precedes it to `take` (when in content); true
    // when found, with `in` then past it.
    bool scan(std::string_view& in);

    const std::string delimiter_;  // "--" boundary
    const std::string separator_;  // CR LF "--" boundary
    const std::string streamed_name_;
    Sink sink_;
    Stage stage_ = Stage::start;
    std::string error_;
    std::string held_;  // bytes not yet settled: a possible start of the separator, a header block, a line
    FormField field_;   // the field being read
    bool streaming_ = false;
    bool streamed_once_ = false;
    std::vector<FormField> fields_;
};

// Reads a whole body; empty text on success, else what is wrong.
std::string parse_form_data(std::string_view body, const std::string& boundary, std::vector<FormField>& fields);

// The field of that name; null when there is none.
const FormField* find_field(const std::vector<FormField>& fields, std::string_view name);
