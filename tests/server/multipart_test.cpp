// The multipart/form-data reader: well-formed bodies in the shapes clients send, and every way a
// body can be malformed.

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "server/multipart.h"

namespace {

const std::string B = "----ChunkBoundary0123abcd4567";

std::string field(const std::string& name, const std::string& value) {
    return "--" + B + "\r\nContent-Disposition: form-data; name=\"" + name + "\"\r\n\r\n" + value + "\r\n";
}

std::string closing() { return "--" + B + "--\r\n"; }

using Fields = std::vector<std::pair<std::string, std::string>>;

Fields parsed(const std::string& body, std::string* error) {
    std::vector<FormField> fields;
    *error = parse_form_data(body, B, fields);
    Fields out;
    for (const auto& f : fields) out.emplace_back(f.name, f.value);
    return out;
}

struct WellFormed {
    const char* name;
    std::string body;
    Fields expected;
};

std::vector<WellFormed> well_formed() {
    // Bytes that look like a boundary but do not follow CR LF, or lack the full delimiter.
    const std::string binary = std::string("\0\xff\r\n--", 6) + B.substr(0, 10) + "\r\n\r\n--" + "x" + B + "\r\n";
    return {
        {"plain fields", field("a", "1") + field("b", "two") + closing(), {{"a", "1"}, {"b", "two"}}},
        {"binary value with look-alikes", field("chunk", binary) + closing(), {{"chunk", binary}}},
        {"empty value", field("disk_name", "") + closing(), {{"disk_name", ""}}},
        {"preamble and epilogue ignored", "preamble\r\n" + field("a", "1") + closing() + "epilogue",
         {{"a", "1"}}},
        {"file part with its own headers",
         "--" + B + "\r\ncontent-disposition: FORM-DATA; filename=\"chunk0001\"; name=chunk\r\n"
                    "Content-Type: application/octet-stream\r\n\r\nDATA\r\n" + closing(),
         {{"chunk", "DATA"}}},
        {"quoted name with an escaped quote",
         "--" + B + "\r\nContent-Disposition: form-data; name=\"a\\\"b\"\r\n\r\nv\r\n" + closing(), {{"a\"b", "v"}}},
        {"padding after a boundary line", "--" + B + " \t\r\nContent-Disposition: form-data; name=a\r\n\r\n1\r\n" +
                                              closing(),
         {{"a", "1"}}},
        {"no fields at all", closing(), {}},
    };
}

struct Malformed {
    const char* name;
    std::string body;
    const char* error_part;
};

std::vector<Malformed> malformed() {
    std::string many;
    for (int i = 0; i < 65; ++i) many += field("f" + std::to_string(i), "x");
    return {
        {"empty body", "", "no boundary line"},
        {"another boundary", "--other\r\n" + closing().substr(2), "no boundary line"},
        {"no closing boundary", field("a", "1"), "has no closing boundary"},
        {"closing line cut short", field("a", "1") + "--" + B.substr(0, 5), "has no closing boundary"},
        {"text after the delimiter", "--" + B + "x\r\n" + field("a", "1").substr(B.size() + 4) + closing(),
         "malformed boundary line"},
        {"no Content-Disposition", "--" + B + "\r\nContent-Type: text/plain\r\n\r\n1\r\n" + closing(),
         "without Content-Disposition"},
        {"no headers at all", "--" + B + "\r\n\r\n1\r\n" + closing(), "without Content-Disposition"},
        {"not form-data", "--" + B + "\r\nContent-Disposition: attachment; name=a\r\n\r\n1\r\n" + closing(),
         "not form-data"},
        {"no name", "--" + B + "\r\nContent-Disposition: form-data; filename=x\r\n\r\n1\r\n" + closing(),
         "malformed Content-Disposition"},
        {"unterminated quote", "--" + B + "\r\nContent-Disposition: form-data; name=\"a\r\n\r\n1\r\n" + closing(),
         "malformed Content-Disposition"},
        {"Content-Disposition twice",
         "--" + B + "\r\nContent-Disposition: form-data; name=a\r\nContent-Disposition: form-data; name=b\r\n\r\n1\r\n" +
             closing(),
         "malformed Content-Disposition"},
        {"header without a colon", "--" + B + "\r\nContent-Disposition form-data\r\n\r\n1\r\n" + closing(),
         "malformed part header"},
        {"headers never end", "--" + B + "\r\nX-Long: " + std::string(9000, 'h') + "\r\n\r\n1\r\n" + closing(),
         "malformed part headers"},
        {"field given twice", field("a", "1") + field("a", "2") + closing(), "given twice"},
        {"too many fields", many + closing(), "too many fields"},
    };
}

TEST(Multipart, ReadsFieldsAsClientsWriteThem) {
    for (const auto& c : well_formed()) {
        std::string error;
        const Fields fields = parsed(c.body, &error);
        EXPECT_EQ(error, "") << c.name;
        EXPECT_EQ(fields, c.expected) << c.name;
    }
}

TEST(Multipart, RefusesMalformedBodies) {
    for (const auto& c : malformed()) {
        std::string error;
        parsed(c.body, &error);
        EXPECT_NE(error.find(c.error_part), std::string::npos) << c.name << ": " << error;
    }
}

TEST(Multipart, FindsTheBoundaryOfAFormContentType) {
    const std::string longest(70, 'b');
    const struct {
        std::string content_type;
        std::optional<std::string> boundary;
    } cases[] = {
        {"multipart/form-data; boundary=" + B, B},
        {"multipart/form-data; boundary=\"" + B + "\"", B},
        {"Multipart/Form-Data ; charset=utf-8; BOUNDARY=abc", "abc"},
        {"multipart/form-data; boundary=\"a b:c=d?\"", "a b:c=d?"},
        {"multipart/form-data; boundary=" + longest, longest},
        {"multipart/form-data; boundary=" + longest + "b", std::nullopt},
        {"multipart/form-data; boundary=\"ab \"", std::nullopt},
        {"multipart/form-data; boundary=a@b", std::nullopt},
        {"multipart/form-data; boundary=", std::nullopt},
        {"multipart/form-data; boundary=a; boundary=b", std::nullopt},
        {"multipart/form-data; charset=utf-8", std::nullopt},
        {"multipart/form-data", std::nullopt},
        {"multipart/mixed; boundary=abc", std::nullopt},
        {"application/octet-stream", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(form_boundary(c.content_type), c.boundary) << c.content_type;
}

// Fed in pieces of every size and split at every place, a body reads as it does whole: a separator,
// a delimiter line or a header block cut between two network reads is still seen.
TEST(Multipart, ReadsBodiesSplitAnywhere) {
    const auto read_in_pieces = [](const std::string& body, const std::vector<size_t>& cuts, Fields& fields) {
        FormReader reader(B);
        size_t from = 0;
        for (const size_t cut : cuts) {
            reader.feed(std::string_view(body).substr(from, cut - from));
            from = cut;
        }
        reader.feed(std::string_view(body).substr(from));
        fields.clear();
        for (const auto& f : reader.fields()) fields.emplace_back(f.name, f.value);
        return reader.finish();
    };
    const auto splits = [](const std::string& body) {
        std::vector<std::vector<size_t>> out;
        for (const size_t step : {1, 2, 5, 33}) {
            std::vector<size_t> cuts;
            for (size_t at = step; at < body.size(); at += step) cuts.push_back(at);
            out.push_back(cuts);
        }
        if (body.size() < 2048) {
            for (size_t at = 1; at < body.size(); ++at) out.push_back({at});
        }
        return out;
    };
    for (const auto& c : well_formed()) {
        for (const auto& cuts : splits(c.body)) {
            Fields fields;
            ASSERT_EQ(read_in_pieces(c.body, cuts, fields), "") << c.name << " in " << cuts.size() + 1 << " pieces";
            ASSERT_EQ(fields, c.expected) << c.name << " in " << cuts.size() + 1 << " pieces";
        }
    }
    for (const auto& c : malformed()) {
        for (const auto& cuts : splits(c.body)) {
            Fields fields;
            const std::string error = read_in_pieces(c.body, cuts, fields);
            ASSERT_NE(error.find(c.error_part), std::string::npos) << c.name << ": " << error;
        }
    }
}

// The streamed field goes to the sink piece by piece and is never held; the fields around it are
// read as usual, and only its first occurrence is streamed.
TEST(Multipart, StreamsOneFieldToItsSink) {
    // Separator look-alikes, one a CR LF short of the real thing, and the separator itself but for
    // its last byte.
    std::string data = std::string("\r\n--", 4) + B.substr(0, 20) + "\r\n-" + B + "\r\n--" +
                       B.substr(0, B.size() - 1) + "X";
    for (int i = 0; i < 300; ++i) data += static_cast<char>(i * 7);
    const std::string body = field("batch_id", "b1") + field("chunk", data) + field("after", "z") + closing();
    for (const size_t step : {size_t{1}, size_t{3}, size_t{31}, size_t{32}, size_t{33}, body.size()}) {
        std::string sunk;
        int opened = 0;
        FormReader reader(B, "chunk", [&](std::string_view bytes) {
            opened += bytes.empty();
            sunk.append(bytes);
        });
        for (size_t at = 0; at < body.size(); at += step) reader.feed(std::string_view(body).substr(at, step));
        ASSERT_EQ(reader.finish(), "") << step;
        EXPECT_TRUE(sunk == data) << "piece size " << step;
        EXPECT_EQ(opened, 1);
        const FormField* chunk = find_field(reader.fields(), "chunk");
        ASSERT_NE(chunk, nullptr);
        EXPECT_TRUE(chunk->streamed);
        EXPECT_EQ(chunk->size, data.size());
        EXPECT_EQ(chunk->value, "");
        ASSERT_NE(find_field(reader.fields(), "after"), nullptr);
        EXPECT_EQ(find_field(reader.fields(), "after")->value, "z");
    }

    // A second "chunk" is not streamed, and the body is refused.
    std::string sunk;
    FormReader twice(B, "chunk", [&](std::string_view bytes) { sunk.append(bytes); });
    twice.feed(field("chunk", "one") + field("chunk", "two") + closing());
    EXPECT_NE(twice.finish().find("given twice"), std::string::npos);
    EXPECT_EQ(sunk, "one");
}

TEST(Multipart, FieldsAreFoundByName) {
    const std::string body = field("batch_id", "b1") + field("chunk", "bytes") + closing();
    std::vector<FormField> fields;
    ASSERT_EQ(parse_form_data(body, B, fields), "");
    const FormField* chunk = find_field(fields, "chunk");
    ASSERT_NE(chunk, nullptr);
    EXPECT_EQ(chunk->value, "bytes");
    EXPECT_EQ(find_field(fields, "Chunk"), nullptr);
    EXPECT_EQ(find_field(fields, "missing"), nullptr);
}

}  // namespace
