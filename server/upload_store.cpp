// Storage of uploaded parts under data_dir/uploads, and the images made of them. Sections:
//   names           the server's names in a batch folder, and which names a part may take
//   parts and images   storing chunks, reassembly and decoding on the worker, and the image,
//                      built part by part on the image worker as the parts complete in order
//   recovery        what a restarted server finds in its data folder
//   chunks on their way in   where a chunk's bytes go while its request arrives
//
// Under data_dir/uploads/<batch>/: the part files as the agent named them, partNNN/ while a part
// is incomplete, partNNN.raw for decoded parts, image.img, .meta/ holding batch.json,
// partNNN.json and image.building (the image while it is built), and .discard/ while files no
// longer wanted wait to be deleted. A part file may not take any of these names.
//
// A chunk normally goes straight into its part file at chunk_index * stride, where stride is the
// length of chunk 0, and partNNN/chunkNNNN.placed records it with its length; so the chunks of a
// part in order are already the part, and only its length is set once they are all in. A chunk
// that cannot be placed (it came before chunk 0, was sent again, or is longer than the stride)
// is written to data_dir/.incoming/ and renamed to partNNN/chunkNNNN; once all are in, such chunks
// are copied to their places, or the part file is made anew from the pieces when their lengths do
// not fit the places.

#include <boost/asio/post.hpp>
#include <openssl/evp.h>

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <variant>

#include "server/files.h"
#include "server/server.h"
#include "server/uploads.h"
#include "server/zvimg_decode.h"

namespace fs = std::filesystem;

namespace {

// ---- names ----

// uploads/raw/ holds recorded request bodies, so no batch may take that name.
constexpr const char* RAW_FOLDER = "raw";
constexpr const char* META_FOLDER = ".meta";
// Chunk folders and files that are no longer wanted are moved here at once and deleted later.
constexpr const char* DISCARD_FOLDER = ".discard";
constexpr const char* IMAGE_FILE = "image.img";
// data_dir/.incoming/ holds chunks on their way in, before they are known to belong anywhere;
// beside uploads/, on the same file system, so a chunk is moved into its part by a rename.
constexpr const char* STAGING_FOLDER = ".incoming";

// A single path component of [A-Za-z0-9._-], so it never leaves its folder: no separators, no
// control bytes, and neither "." nor "..". Dots elsewhere are harmless without separators.
bool safe_component(std::string_view name) {
    if (name.empty() || name.size() > MAX_NAME || name == "." || name == "..") return false;
    return std::all_of(name.begin(), name.end(), [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '_' ||
               c == '-';
    });
}

// "part007", "chunk0012": zero-padded, wider when the number needs it.
std::string numbered(std::string_view prefix, int64_t number, size_t width) {
    std::string digits = std::to_string(number);
    if (digits.size() < width) digits.insert(0, width - digits.size(), '0');
    return std::string(prefix) + digits;
}

std::string part_folder_name(int64_t part) { return numbered("part", part, 3); }
std::string chunk_file_name(int64_t chunk) { return numbered("chunk", chunk, 4); }
// Beside a chunk's name in the part folder: the chunk lies in the part file at its place, and the
// marker holds its length. A chunk file of that name without the suffix holds the chunk itself.
constexpr const char* PLACED_SUFFIX = ".placed";
std::string raw_file_name(int64_t part) { return part_folder_name(part) + ".raw"; }

// "part" followed by digits only, then `suffix`: the shape of the server's own part folders and
// decoded files.
bool numbered_part_name(std::string_view name, std::string_view suffix) {
    if (!name.starts_with("part") || !name.ends_with(suffix) || name.size() <= 4 + suffix.size()) return false;
    const std::string_view digits = name.substr(4, name.size() - 4 - suffix.size());
    return std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// The server's own names in a batch folder. A part file may take any other safe name: the agent
// makes "<disk name>.partNNN.<ext>", and a disk name may begin with a dot or be "part7".
bool reserved_name(std::string_view name) {
    return name == IMAGE_FILE || name == META_FOLDER || name == DISCARD_FOLDER || numbered_part_name(name, "") ||
           numbered_part_name(name, ".raw");
}

fs::path uploads_dir(const ServerState& state) { return fs::path(state.data_dir) / "uploads"; }
fs::path batch_dir(const ServerState& state, const std::string& batch) { return uploads_dir(state) / batch; }

constexpr size_t COPY_BUFFER = 4 << 20;

struct DigestDeleter {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};
using Digest = std::unique_ptr<EVP_MD_CTX, DigestDeleter>;

// Appends the whole of `from` to `out` at `written` and hashes it. The bytes are hashed where the
// page cache holds them (mapped, not copied out) and copied inside the kernel, which costs far less
// than writing them from a buffer. Stretches of zeros are left as holes, so a sparse part stays
// sparse in the image.
std::string append_hashed(const fs::path& from, int out, std::vector<char>& buffer, EVP_MD_CTX* digest,
                          uint64_t& written, const std::atomic<bool>& stopping) {
    File in = open_read(from);
    struct stat info {};
    if (!in || ::fstat(in.fd(), &info) != 0) return "cannot open " + from.filename().string() + ": " + errno_text();
    const auto length = static_cast<uint64_t>(info.st_size);
    if (length == 0) return "";
    void* mapped = ::mmap(nullptr, length, PROT_READ, MAP_SHARED, in.fd(), 0);
    if (mapped == MAP_FAILED) return "cannot map " + from.filename().string() + ": " + errno_text();
    const auto* bytes = static_cast<const char*>(mapped);
    ::madvise(mapped, length, MADV_SEQUENTIAL);
    std::string error;
    for (uint64_t at = 0; at < length && error.empty(); at += COPY_BUFFER) {
        if (stopping) {
            error = "stopped";
            break;
        }
        const auto size = static_cast<size_t>(std::min<uint64_t>(COPY_BUFFER, length - at));
        const char* piece = bytes + at;
        if (EVP_DigestUpdate(digest, piece, size) != 1) error = "SHA-256 failed";
        const bool zeros = piece[0] == 0 && std::memcmp(piece, piece + 1, size - 1) == 0;
        if (error.empty() && !zeros && !copy_range(in.fd(), at, out, written + at, size, buffer)) {
            error = "cannot write: " + errno_text();
        }
    }
    ::munmap(mapped, length);
    written += length;
    return error;
}

// ---- parts and images ----

}  // namespace

// Worker only: the image file so far and the hash of every byte in it.
struct ImageBuild {
    fs::path path;  // under .meta/ until whole, so image.img is only ever a whole image
    File out;
    Digest digest;
    uint64_t size = 0;
    std::vector<char> buffer;
};

namespace {

struct ImageResult {
    std::string error;
    uint64_t size = 0;
    std::string sha256 = {};
};

// Appends one part to the image being built; the first part creates the file.
std::string append_image_part(ImageBuild& build, const fs::path& part, const std::atomic<bool>& stopping) {
    if (!build.out) {
        build.digest.reset(EVP_MD_CTX_new());
        if (!build.digest || EVP_DigestInit_ex(build.digest.get(), EVP_sha256(), nullptr) != 1) {
            return "SHA-256 unavailable";
        }
        build.out = open_write(build.path);
        if (!build.out) return "cannot create image.img: " + errno_text();
        build.buffer.resize(COPY_BUFFER);
    }
    return append_hashed(part, build.out.fd(), build.buffer, build.digest.get(), build.size, stopping);
}

// Ends the image: its full length, the file renamed to `image`, and the hash.
ImageResult finish_image(ImageBuild& build, const fs::path& image) {
    if (!build.out) return {"nothing was appended"};
    // Holes at the end still count.
    if (::ftruncate(build.out.fd(), static_cast<off_t>(build.size)) != 0 || !build.out.close()) {
        return {"cannot write image.img: " + errno_text()};
    }
    std::error_code ec;
    fs::rename(build.path, image, ec);
    if (ec) return {"cannot write image.img: " + ec.message()};
    ImageResult result;
    result.size = build.size;
    unsigned char hash[EVP_MAX_MD_SIZE];
    unsigned int hash_size = 0;
    if (EVP_DigestFinal_ex(build.digest.get(), hash, &hash_size) != 1) return {"SHA-256 failed"};
    static constexpr char hex[] = "0123456789abcdef";
    for (unsigned int i = 0; i < hash_size; ++i) {
        result.sha256 += hex[hash[i] >> 4];
        result.sha256 += hex[hash[i] & 15];
    }
    return result;
}

// What the worker needs to make one part whole; copied, since the worker never sees the state.
struct PartJob {
    std::string batch_id;
    fs::path dir;  // the batch folder
    int64_t part_number = 0;
    std::string filename;
    int64_t total_chunks = 0;
    bool zvimg = false;
    uint64_t original_size = 0;
    uint64_t generation = 0;  // the part's, when the job was posted
    uint64_t stride = 0;
    // Requests were still writing placed bytes into the part file when the job was posted: their
    // chunks came in files of their own meanwhile, and the part file is made anew, out of their way.
    bool writers = false;
};

struct PartResult {
    std::string error;
    uint64_t size = 0;
};

// One chunk of a whole part: in a chunk file of its own, or placed in the part file.
struct ChunkPiece {
    fs::path loose;  // empty: placed at index * stride
    uint64_t length = 0;
};

// Makes the part file the chunks one after the other. When each chunk but the last fills its
// stride, chunks in files of their own (chunk 0 usually, which came before its part existed) are
// copied to their places and only the length is set; otherwise, and while requests may still be
// writing into the part file, it is made anew from the pieces. Empty text on success.
std::string join_chunks(const PartJob& job, uint64_t& length, const std::atomic<bool>& stopping) {
    const fs::path part_file = job.dir / job.filename;
    const fs::path chunks = job.dir / part_folder_name(job.part_number);
    std::vector<ChunkPiece> pieces;
    bool in_place = !job.writers && (job.stride > 0 || job.total_chunks == 1);
    length = 0;
    for (int64_t k = 0; k < job.total_chunks; ++k) {
        ChunkPiece piece;
        const fs::path loose = chunks / chunk_file_name(k);
        std::error_code ec;
        if (const uint64_t size = fs::file_size(loose, ec); !ec) {
            piece = {loose, size};
        } else {
            fs::path marker = loose;
            marker += PLACED_SUFFIX;
            const auto text = read_small_file(marker);
            const auto placed = text ? parse_decimal<uint64_t>(*text) : std::nullopt;
            if (!placed) return "chunk " + std::to_string(k) + " is missing";
            piece.length = *placed;
        }
        if (k + 1 < job.total_chunks && piece.length != job.stride) in_place = false;
        length += piece.length;
        pieces.push_back(std::move(piece));
    }
    std::vector<char> buffer;
    if (in_place) {
        File out(part_file, O_RDWR | O_CREAT);
        if (!out) return "cannot open " + job.filename + ": " + errno_text();
        for (size_t k = 0; k < pieces.size(); ++k) {
            if (stopping) return "stopped";
            if (pieces[k].loose.empty()) continue;
            File in = open_read(pieces[k].loose);
            if (!in || !copy_range(in.fd(), 0, out.fd(), k * job.stride, pieces[k].length, buffer)) {
                return "cannot copy chunk " + std::to_string(k) + ": " + errno_text();
            }
        }
        if (::ftruncate(out.fd(), static_cast<off_t>(length)) != 0 || !out.close()) {
            return "cannot write " + job.filename + ": " + errno_text();
        }
        return "";
    }
    const fs::path joined = chunks / "joined";
    File out = open_write(joined);
    File placed = open_read(part_file);  // absent when nothing was placed
    if (!out) return "cannot create " + job.filename + ": " + errno_text();
    uint64_t at = 0;
    for (size_t k = 0; k < pieces.size(); ++k) {
        if (stopping) return "stopped";
        const ChunkPiece& piece = pieces[k];
        File loose = piece.loose.empty() ? File() : open_read(piece.loose);
        const int in = piece.loose.empty() ? placed.fd() : loose.fd();
        const uint64_t from = piece.loose.empty() ? k * job.stride : 0;
        if (in < 0 || !copy_range(in, from, out.fd(), at, piece.length, buffer)) {
            return "cannot copy chunk " + std::to_string(k) + ": " + errno_text();
        }
        at += piece.length;
    }
    if (!out.close()) return "cannot write " + job.filename + ": " + errno_text();
    std::error_code ec;
    fs::rename(joined, part_file, ec);
    if (ec) return "cannot write " + job.filename + ": " + ec.message();
    return "";
}

// Joins the chunks into the part file, then decodes it when it is ZVIMG.
PartResult assemble_part(const PartJob& job, const std::atomic<bool>& stopping) {
    PartResult result;
    std::vector<char> buffer(COPY_BUFFER);
    const fs::path part_file = job.dir / job.filename;
    uint64_t length = 0;
    result.error = join_chunks(job, length, stopping);
    if (!result.error.empty()) return result;
    if (!job.zvimg) {
        result.size = length;
        return result;
    }
    const fs::path raw_file = job.dir / raw_file_name(job.part_number);
    File in = open_read(part_file);
    File out = open_write(raw_file);
    if (!in || !out) return {"cannot open " + job.filename + " or its decoded file: " + errno_text()};
    result.error = decode_zvimg(in.fd(), length, out.fd(), job.original_size, buffer, stopping);
    if (result.error.empty() && !out.close()) result.error = "cannot write the decoded part: " + errno_text();
    if (result.error.empty()) {
        result.size = job.original_size;
    } else {
        std::error_code ec;
        fs::remove(raw_file, ec);
    }
    return result;
}

// The parts an image of the batch spans now: from the lowest part seen to the last one.
std::optional<std::pair<int64_t, int64_t>> image_range(const UploadBatch& batch) {
    if (batch.parts.empty() || batch.total_parts < batch.parts.begin()->first) return std::nullopt;
    return std::pair{batch.parts.begin()->first, batch.total_parts};
}

// Every part of the range is decoded.
bool range_ready(const UploadBatch& batch, std::pair<int64_t, int64_t> range) {
    int64_t complete = 0;
    for (const auto& [number, part] : batch.parts) {
        if (number > range.second) break;
        if (part.state != PartState::complete) return false;
        ++complete;
    }
    return complete == range.second - range.first + 1;
}

bool save_batch(const ServerState& state, const UploadBatch& batch) {
    JsonPtr root(cJSON_CreateObject());
    cJSON_AddStringToObject(root.get(), "batch_id", batch.id.c_str());
    cJSON_AddNumberToObject(root.get(), "total_parts", static_cast<double>(batch.total_parts));
    if (!batch.existing_disk_id.empty()) {
        cJSON_AddStringToObject(root.get(), "existing_disk_id", json_safe(batch.existing_disk_id).c_str());
    }
    if (batch.disk_id != 0) cJSON_AddNumberToObject(root.get(), "disk_id", static_cast<double>(batch.disk_id));
    if (batch.image_state == ImageState::complete) {
        cJSON* image = cJSON_AddObjectToObject(root.get(), "image");
        cJSON_AddNumberToObject(image, "first_part", static_cast<double>(batch.image_range.first));
        cJSON_AddNumberToObject(image, "last_part", static_cast<double>(batch.image_range.second));
        cJSON_AddNumberToObject(image, "size", static_cast<double>(batch.image_size));
        cJSON_AddStringToObject(image, "sha256", batch.image_sha256.c_str());
    }
    const fs::path path = batch_dir(state, batch.id) / META_FOLDER / "batch.json";
    if (write_file(path, json_print(root.get()) + "\n")) return true;
    print_line("upload: cannot write " + path.string());
    return false;
}

bool save_part(const ServerState& state, const std::string& batch, const UploadPart& part) {
    JsonPtr root(cJSON_CreateObject());
    cJSON_AddNumberToObject(root.get(), "part_number", static_cast<double>(part.part_number));
    cJSON_AddStringToObject(root.get(), "filename", part.filename.c_str());
    cJSON_AddNumberToObject(root.get(), "total_chunks", static_cast<double>(part.total_chunks));
    cJSON_AddStringToObject(root.get(), "compressed", part.compressed.c_str());
    cJSON_AddNumberToObject(root.get(), "original_size", static_cast<double>(part.original_size));
    cJSON_AddStringToObject(root.get(), "disk_name", json_safe(part.disk_name).c_str());
    cJSON_AddStringToObject(root.get(), "existing_disk_id", json_safe(part.existing_disk_id).c_str());
    cJSON_AddNumberToObject(root.get(), "total_parts", static_cast<double>(part.total_parts));
    // A part being decoded is receiving as far as a restarted server is concerned: it decodes again.
    const PartState state_kept = part.state == PartState::decoding ? PartState::receiving : part.state;
    cJSON_AddStringToObject(root.get(), "state", part_state_name(state_kept));
    cJSON_AddStringToObject(root.get(), "error", json_safe(part.error).c_str());
    cJSON_AddNumberToObject(root.get(), "size", static_cast<double>(part.size));
    cJSON_AddNumberToObject(root.get(), "stride", static_cast<double>(part.stride));
    const fs::path path = batch_dir(state, batch) / META_FOLDER / (part_folder_name(part.part_number) + ".json");
    if (write_file(path, json_print(root.get()) + "\n")) return true;
    print_line("upload: cannot write " + path.string());
    return false;
}

// Takes `path` out of the way at once, so its name is free for what comes next, and deletes it on
// the worker, where a large folder does not hold up the io thread.
void discard(Server& server, const fs::path& dir, const fs::path& path) {
    std::error_code ec;
    if (!fs::exists(path, ec)) return;
    const fs::path bin = dir / DISCARD_FOLDER;
    fs::create_directories(bin, ec);
    fs::path target = bin / (path.filename().string() + "." + std::to_string(server.state().next_discard++));
    fs::rename(path, target, ec);
    if (ec) {
        print_line("upload: cannot move " + path.string() + " aside: " + ec.message() + "; deleting it now");
        fs::remove_all(path, ec);
        return;
    }
    server.worker().post([target = std::move(target)](const std::atomic<bool>&) {
        std::error_code ignored;
        fs::remove_all(target, ignored);
    });
}

void refresh_image(Server& server, UploadBatch& batch);

void on_part_done(Server& server, const PartJob& job, const PartResult& result) {
    ServerState& state = server.state();
    const auto batch = state.batches.find(job.batch_id);
    if (batch == state.batches.end()) return;
    const auto part = batch->second.parts.find(job.part_number);
    // A part started anew meanwhile has other chunks: this result is not about them.
    if (part == batch->second.parts.end() || part->second.state != PartState::decoding ||
        part->second.generation != job.generation) {
        return;
    }
    UploadPart& done = part->second;
    const std::string name = job.batch_id + " part " + std::to_string(job.part_number);
    if (result.error.empty()) {
        done.state = PartState::complete;
        done.size = result.size;
        print_line("upload: " + name + " complete, " + std::to_string(result.size) + " bytes");
    } else {
        done.state = PartState::error;
        done.error = result.error;
        print_line("upload: " + name + " failed: " + result.error);
    }
    // The chunks go only once the state that no longer needs them is on disk.
    if (save_part(state, job.batch_id, done) && done.state == PartState::complete) {
        discard(server, job.dir, job.dir / part_folder_name(job.part_number));
    }
    refresh_image(server, batch->second);
    server.notify_waiters();
}

void start_part(Server& server, const std::string& batch_id, UploadPart& part) {
    part.state = PartState::decoding;
    const auto& placing = server.state().placing;
    const bool writers = std::any_of(placing.begin(), placing.end(), [&](const auto& key) {
        return std::get<0>(key) == batch_id && std::get<1>(key) == part.part_number;
    });
    PartJob job{batch_id,
                batch_dir(server.state(), batch_id),
                part.part_number,
                part.filename,
                part.total_chunks,
                part.compressed == ZVIMG,
                part.original_size,
                part.generation,
                part.stride,
                writers};
    server.worker().post([&server, job = std::move(job)](const std::atomic<bool>& stopping) {
        PartResult result = assemble_part(job, stopping);
        // Left unfinished, the part is made again at the next start.
        if (stopping) return;
        boost::asio::post(server.io(),
                          [&server, job, result = std::move(result)] { on_part_done(server, job, result); });
    });
}

// The appended parts are still the image's first parts as they stand now: the same parts, still
// complete, not started anew since.
bool build_still_holds(const UploadBatch& batch, std::pair<int64_t, int64_t> range) {
    if (!batch.image_build || static_cast<int64_t>(batch.image_built.size()) > range.second - range.first + 1) {
        return false;
    }
    int64_t number = range.first;
    for (const auto& [built, generation] : batch.image_built) {
        const auto part = batch.parts.find(number);
        if (built != number++ || part == batch.parts.end() || part->second.state != PartState::complete ||
            part->second.generation != generation) {
            return false;
        }
    }
    return true;
}

// One step of the image on the worker ended: a part appended (`part` >= 0) or the image finished.
void on_image_step(Server& server, const std::string& batch_id, std::pair<int64_t, int64_t> range, int64_t part,
                   uint64_t generation, const ImageResult& result) {
    ServerState& state = server.state();
    const auto found = state.batches.find(batch_id);
    if (found == state.batches.end()) return;
    UploadBatch& batch = found->second;
    if (batch.image_state != ImageState::building || batch.image_range != range) return;
    batch.image_state = ImageState::none;
    if (part >= 0 && result.error.empty()) {
        batch.image_built.emplace_back(part, generation);
    } else {
        // The build ends here either way: a finished image takes no more parts.
        batch.image_build.reset();
        batch.image_built.clear();
        const auto held = batch.parts.find(part);
        // A part started anew while it was read is no failure of the image.
        const bool stale = part >= 0 && (held == batch.parts.end() || held->second.generation != generation ||
                                         held->second.state != PartState::complete);
        if (result.error.empty()) {
            batch.image_state = ImageState::complete;
            batch.image_size = result.size;
            batch.image_sha256 = result.sha256;
            print_line("upload: " + batch_id + " image complete, " + std::to_string(result.size) +
                       " bytes, sha256 " + result.sha256);
            save_batch(state, batch);
        } else if (!stale) {
            batch.image_state = ImageState::error;
            batch.image_error = result.error;
            print_line("upload: " + batch_id + " image failed: " + result.error);
        }
    }
    // The batch may have grown or changed meanwhile.
    refresh_image(server, batch);
    server.notify_waiters();
}

// Appends the next part to the image as soon as it and all parts before it are complete, and
// finishes the image once every part it spans is in; starts again from the first part when the
// parts appended no longer are the image's first parts (a part started anew, the span changed).
void refresh_image(Server& server, UploadBatch& batch) {
    if (batch.image_state == ImageState::building) return;  // looked at again when the step ends
    const auto range = image_range(batch);
    const bool ready = range && range_ready(batch, *range);
    if (ready && batch.image_state != ImageState::none && batch.image_range == *range) return;
    if (batch.image_state != ImageState::none) {
        const bool was_complete = batch.image_state == ImageState::complete;
        batch.image_state = ImageState::none;
        batch.image_sha256.clear();
        batch.image_error.clear();
        batch.image_size = 0;
        if (was_complete) save_batch(server.state(), batch);
    }
    if (!range || !build_still_holds(batch, *range)) {
        batch.image_build.reset();
        batch.image_built.clear();
    }
    if (!range) return;
    const int64_t next = range->first + static_cast<int64_t>(batch.image_built.size());
    const fs::path dir = batch_dir(server.state(), batch.id);
    if (!batch.image_build) {
        batch.image_build = std::make_shared<ImageBuild>();
        batch.image_build->path = dir / META_FOLDER / "image.building";
    }
    auto build = batch.image_build;
    if (next > range->second) {
        batch.image_state = ImageState::building;
        batch.image_range = *range;
        server.image_worker().post([&server, id = batch.id, range = *range, build, image = dir / IMAGE_FILE](
                                 const std::atomic<bool>& stopping) {
            ImageResult result = finish_image(*build, image);
            if (stopping) return;
            boost::asio::post(server.io(), [&server, id, range, result = std::move(result)] {
                on_image_step(server, id, range, -1, 0, result);
            });
        });
        return;
    }
    const auto part = batch.parts.find(next);
    if (part == batch.parts.end() || part->second.state != PartState::complete) return;
    batch.image_state = ImageState::building;
    batch.image_range = *range;
    const uint64_t generation = part->second.generation;
    const fs::path file = dir / (part->second.compressed.empty() ? part->second.filename : raw_file_name(next));
    server.image_worker().post([&server, id = batch.id, range = *range, build, next, generation, file](
                             const std::atomic<bool>& stopping) {
        ImageResult result;
        result.error = append_image_part(*build, file, stopping);
        if (stopping) return;
        boost::asio::post(server.io(), [&server, id, range, next, generation, result = std::move(result)] {
            on_image_step(server, id, range, next, generation, result);
        });
    });
}

// Why the chunks held for `part` cannot be completed by `chunk`; null when they can.
const char* differs_from(const UploadPart& part, const ChunkUpload& chunk) {
    return part.state == PartState::error              ? "the part had failed"
           : part.filename != chunk.filename           ? "filename differs"
           : part.total_chunks != chunk.total_chunks   ? "total_chunks differs"
           : part.compressed != chunk.compressed       ? "compressed differs"
           : part.original_size != chunk.original_size ? "original_size differs"
                                                       : nullptr;
}

// The chunk's part, created on its first chunk and started anew when the chunk does not fit the
// chunks held; the response to refuse the chunk with otherwise.
std::variant<UploadPart*, HttpResponse> part_for(Server& server, const ChunkUpload& chunk) {
    ServerState& state = server.state();
    const fs::path dir = batch_dir(state, chunk.batch_id);
    auto found = state.batches.find(chunk.batch_id);
    if (found == state.batches.end()) {
        std::error_code ec;
        fs::create_directories(dir / META_FOLDER, ec);
        if (ec) return json_error(500, "cannot create the batch folder");
        UploadBatch batch;
        batch.id = chunk.batch_id;
        batch.total_parts = chunk.total_parts;
        batch.existing_disk_id = chunk.existing_disk_id;
        if (batch.existing_disk_id.empty()) batch.disk_id = state.next_disk_id++;
        if (!save_batch(state, batch)) return json_error(500, "cannot save the batch");
        found = state.batches.emplace(chunk.batch_id, std::move(batch)).first;
    }
    UploadBatch& batch = found->second;
    const auto known = batch.parts.find(chunk.part_number);
    const char* differs = known == batch.parts.end() ? nullptr : differs_from(known->second, chunk);
    if (known != batch.parts.end() && !differs) return &known->second;
    for (const auto& [number, other] : batch.parts) {
        if (number != chunk.part_number && other.filename == chunk.filename) {
            return json_error(409, "filename already taken by part " + std::to_string(number));
        }
    }
    UploadPart part;
    part.part_number = chunk.part_number;
    part.filename = chunk.filename;
    part.total_chunks = chunk.total_chunks;
    part.compressed = chunk.compressed;
    part.original_size = chunk.original_size;
    part.disk_name = chunk.disk_name;
    part.existing_disk_id = chunk.existing_disk_id;
    part.total_parts = chunk.total_parts;
    if (known != batch.parts.end()) {
        // Never refused: the agent would only send the chunk again. The part is made of the new
        // chunks from here on.
        UploadPart& old = known->second;
        print_line("upload: " + chunk.batch_id + " part " + std::to_string(chunk.part_number) + " started anew: " +
                   differs);
        part.generation = old.generation + 1;
        discard(server, dir, dir / part_folder_name(chunk.part_number));
        discard(server, dir, dir / raw_file_name(chunk.part_number));
        // Also under the same name: requests of the old part may still be writing into it.
        discard(server, dir, dir / old.filename);
        batch.parts.erase(known);
    }
    std::error_code ec;
    fs::create_directories(dir / part_folder_name(chunk.part_number), ec);
    if (ec || !save_part(state, chunk.batch_id, part)) return json_error(500, "cannot save the part");
    return &batch.parts.emplace(chunk.part_number, std::move(part)).first->second;
}

// ---- recovery ----

std::optional<int64_t> json_int(const cJSON* object, const char* name, int64_t low, int64_t high) {
    const cJSON* item = cJSON_GetObjectItemCaseSensitive(object, name);
    if (!cJSON_IsNumber(item) || std::trunc(item->valuedouble) != item->valuedouble || item->valuedouble < low ||
        item->valuedouble > static_cast<double>(high)) {
        return std::nullopt;
    }
    return static_cast<int64_t>(item->valuedouble);
}

std::string json_text(const cJSON* object, const char* name) {
    const cJSON* item = cJSON_GetObjectItemCaseSensitive(object, name);
    return cJSON_IsString(item) ? item->valuestring : "";
}

constexpr int64_t MAX_SIZE = int64_t{1} << 53;  // exact in a JSON number

std::optional<UploadPart> load_part(const fs::path& meta, const fs::path& dir) {
    JsonPtr root = read_json_file(meta);
    if (!cJSON_IsObject(root.get())) return std::nullopt;
    UploadPart part;
    const auto number = json_int(root.get(), "part_number", 0, MAX_PART_NUMBER);
    const auto chunks = json_int(root.get(), "total_chunks", 1, MAX_CHUNKS);
    const auto total_parts = json_int(root.get(), "total_parts", 0, MAX_PART_NUMBER);
    const auto original = json_int(root.get(), "original_size", 0, MAX_SIZE);
    const auto size = json_int(root.get(), "size", 0, MAX_SIZE);
    part.filename = json_text(root.get(), "filename");
    part.compressed = json_text(root.get(), "compressed");
    const std::string state = json_text(root.get(), "state");
    if (!number || !chunks || !total_parts || !original || !size || !valid_part_filename(part.filename) || (!part.compressed.empty() && part.compressed != ZVIMG) ||
        meta.filename() != part_folder_name(*number) + ".json") {
        return std::nullopt;
    }
    part.part_number = *number;
    part.total_chunks = *chunks;
    part.total_parts = *total_parts;
    part.original_size = static_cast<uint64_t>(*original);
    part.size = static_cast<uint64_t>(*size);
    part.disk_name = json_text(root.get(), "disk_name");
    part.existing_disk_id = json_text(root.get(), "existing_disk_id");
    part.error = json_text(root.get(), "error");
    part.stride = static_cast<uint64_t>(json_int(root.get(), "stride", 0, MAX_SIZE).value_or(0));
    if (state == part_state_name(PartState::complete)) {
        part.state = PartState::complete;
        for (int64_t k = 0; k < part.total_chunks; ++k) part.received.insert(k);
        return part;
    }
    if (state == part_state_name(PartState::error)) {
        part.state = PartState::error;
    } else if (state != part_state_name(PartState::receiving)) {
        return std::nullopt;
    }
    // The chunks on disk are the ones received: each chunk file, and each marker of a placed
    // chunk, was renamed into place only once whole.
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(dir / part_folder_name(part.part_number), ec)) {
        const std::string file = entry.path().filename().string();
        std::string_view name = file;
        if (name.ends_with(PLACED_SUFFIX)) name.remove_suffix(std::string_view(PLACED_SUFFIX).size());
        const auto index = name.starts_with("chunk") ? parse_decimal<int64_t>(name.substr(5)) : std::nullopt;
        if (index && *index < part.total_chunks && entry.is_regular_file(ec)) part.received.insert(*index);
    }
    return part;
}

std::optional<UploadBatch> load_batch(const fs::path& dir, const std::string& id) {
    JsonPtr root = read_json_file(dir / META_FOLDER / "batch.json");
    if (!cJSON_IsObject(root.get()) || json_text(root.get(), "batch_id") != id) return std::nullopt;
    UploadBatch batch;
    batch.id = id;
    const auto total_parts = json_int(root.get(), "total_parts", 0, MAX_PART_NUMBER);
    const auto disk_id = json_int(root.get(), "disk_id", 1, MAX_SIZE);
    batch.existing_disk_id = json_text(root.get(), "existing_disk_id");
    if (!total_parts || (batch.existing_disk_id.empty() && !disk_id)) return std::nullopt;
    batch.total_parts = *total_parts;
    if (batch.existing_disk_id.empty()) batch.disk_id = *disk_id;
    if (const cJSON* image = cJSON_GetObjectItemCaseSensitive(root.get(), "image")) {
        const auto first = json_int(image, "first_part", 0, MAX_PART_NUMBER);
        const auto last = json_int(image, "last_part", 0, MAX_PART_NUMBER);
        const auto size = json_int(image, "size", 0, MAX_SIZE);
        batch.image_sha256 = json_text(image, "sha256");
        if (first && last && size && batch.image_sha256.size() == 64) {
            batch.image_state = ImageState::complete;
            batch.image_range = {*first, *last};
            batch.image_size = static_cast<uint64_t>(*size);
        }
    }
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(dir / META_FOLDER, ec)) {
        const std::string name = entry.path().filename().string();
        if (!name.starts_with("part") || !name.ends_with(".json")) continue;
        if (auto part = load_part(entry.path(), dir)) {
            const int64_t number = part->part_number;
            batch.parts.emplace(number, std::move(*part));
        } else {
            print_line("upload: ignoring unreadable " + entry.path().string());
        }
    }
    return batch;
}

}  // namespace

HttpResponse store_chunk(Server& server, const ChunkUpload& chunk) {
    auto found = part_for(server, chunk);
    if (auto* refusal = std::get_if<HttpResponse>(&found)) return *refusal;
    UploadPart& part = *std::get<UploadPart*>(found);
    ServerState& state = server.state();
    UploadBatch& batch = state.batches.at(chunk.batch_id);

    // Once the part is whole, a repeated chunk (a retry whose answer was lost) changes nothing.
    if (part.state == PartState::receiving) {
        IncomingChunk& in = *chunk.incoming;
        const fs::path loose =
            batch_dir(state, chunk.batch_id) / part_folder_name(chunk.part_number) / chunk_file_name(chunk.chunk_index);
        fs::path marker = loose;
        marker += PLACED_SUFFIX;
        // Placed bytes count only where the part still expects them.
        const bool in_place = in.placed(chunk, part.generation) && !part.received.contains(chunk.chunk_index);
        if ((!in_place && !in.to_staging()) || !in.finish()) return json_error(500, "cannot store the chunk");
        std::error_code ec;
        if (in_place) {
            // The marker, written whole after the bytes, says the chunk is there and how long it is.
            if (!write_file(marker, std::to_string(in.size()))) return json_error(500, "cannot store the chunk");
        } else {
            // Renamed into place whole, so a chunk file on disk is always a whole chunk; it stands
            // for the chunk even where one was placed before.
            fs::rename(in.staged_path(), loose, ec);
            if (ec) return json_error(500, "cannot store the chunk");
            in.staged_taken();
            fs::remove(marker, ec);
        }
        part.received.insert(chunk.chunk_index);
        if (chunk.chunk_index == 0 && part.total_chunks > 1 && part.stride == 0 && in.size() > 0) {
            part.stride = in.size();
            // Saved before any chunk is placed by it.
            if (!save_part(state, chunk.batch_id, part)) part.stride = 0;
        }
    }
    if (chunk.total_parts != batch.total_parts) {
        batch.total_parts = chunk.total_parts;
        save_batch(state, batch);
    }
    if (part.state == PartState::receiving && static_cast<int64_t>(part.received.size()) == part.total_chunks) {
        start_part(server, chunk.batch_id, part);
    }
    refresh_image(server, batch);

    JsonPtr answer(cJSON_CreateObject());
    cJSON_AddStringToObject(answer.get(), "status", "ok");
    cJSON_AddStringToObject(answer.get(), "batch_id", chunk.batch_id.c_str());
    cJSON_AddNumberToObject(answer.get(), "part_number", static_cast<double>(chunk.part_number));
    cJSON_AddNumberToObject(answer.get(), "chunk_index", static_cast<double>(chunk.chunk_index));
    if (batch.existing_disk_id.empty()) {
        cJSON_AddNumberToObject(answer.get(), "disk_id", static_cast<double>(batch.disk_id));
    } else {
        cJSON_AddStringToObject(answer.get(), "disk_id", json_safe(batch.existing_disk_id).c_str());
    }
    if (state.upload_faults.pad > 0) {
        cJSON_AddStringToObject(answer.get(), "pad", std::string(state.upload_faults.pad, 'x').c_str());
    }
    return json_response(200, answer.get());
}

// Batch folders sit beside uploads/raw/ and are never hidden.
bool valid_batch_id(std::string_view id) { return safe_component(id) && id.front() != '.' && id != RAW_FOLDER; }

bool valid_part_filename(std::string_view name) { return safe_component(name) && !reserved_name(name); }

fs::path raw_record_dir(const Server& server) { return uploads_dir(server.state()) / RAW_FOLDER; }

// ---- chunks on their way in ----

IncomingChunk::IncomingChunk(Server& server) : server_(server) {
    ServerState& state = server.state();
    staged_path_ = fs::path(state.data_dir) / STAGING_FOLDER / std::to_string(state.next_staged++);
}

IncomingChunk::~IncomingChunk() {
    release();
    std::error_code ignored;
    if (staged_open_ && !staged_path_.empty()) fs::remove(staged_path_, ignored);
}

void IncomingChunk::release() {
    if (place_) server_.state().placing.erase(place_->key);
    place_.reset();
}

// Only a chunk that its part still waits for, whose place is known and that no other request is
// writing, is placed: its region of the part file belongs to it alone until it is stored.
void IncomingChunk::begin(const ChunkUpload& chunk) {
    ServerState& state = server_.state();
    const auto batch = state.batches.find(chunk.batch_id);
    if (batch == state.batches.end()) return;
    const auto found = batch->second.parts.find(chunk.part_number);
    if (found == batch->second.parts.end()) return;
    const UploadPart& part = found->second;
    if (part.state != PartState::receiving || differs_from(part, chunk) || part.received.contains(chunk.chunk_index)) {
        return;
    }
    Place place;
    place.key = {chunk.batch_id, chunk.part_number, chunk.chunk_index};
    if (state.placing.contains(place.key)) return;
    if (chunk.chunk_index == 0) {
        // Its length is the stride, so nothing lies after it yet.
        place.limit = part.stride == 0 ? UINT64_MAX : part.stride;
    } else {
        if (part.stride == 0) return;
        place.offset = static_cast<uint64_t>(chunk.chunk_index) * part.stride;
        place.limit = part.stride;
    }
    place.generation = part.generation;
    place.file = File(batch_dir(state, chunk.batch_id) / part.filename, O_RDWR | O_CREAT);
    if (!place.file) return;
    state.placing.insert(place.key);
    place_.emplace(std::move(place));
}

void IncomingChunk::write(std::string_view bytes) {
    if (failed_ || finished_ || bytes.empty()) return;
    // Longer than its place: the chunk goes to a file of its own after all.
    if (place_ && size_ + bytes.size() > place_->limit && !to_staging()) return;
    if (!place_ && !staged_open_) {
        staged_open_ = true;
        staged_ = open_write(staged_path_);
    }
    const int fd = place_ ? place_->file.fd() : staged_.fd();
    const uint64_t at = place_ ? place_->offset + size_ : size_;
    if (fd < 0 || !write_all_at(fd, bytes.data(), bytes.size(), at)) failed_ = true;
    size_ += bytes.size();
}

bool IncomingChunk::to_staging() {
    if (!place_) return !failed_;
    if (!staged_open_) {
        staged_open_ = true;
        staged_ = open_write(staged_path_);
    }
    if (!staged_ || !copy_range(place_->file.fd(), place_->offset, staged_.fd(), 0, size_, buffer_)) failed_ = true;
    release();
    return !failed_;
}

bool IncomingChunk::finish() {
    if (finished_) return !failed_;
    finished_ = true;
    // An empty chunk has its file too.
    if (!place_ && !staged_open_) {
        staged_open_ = true;
        staged_ = open_write(staged_path_);
    }
    if (!place_ && (!staged_ || !staged_.close())) failed_ = true;
    return !failed_;
}

bool IncomingChunk::placed(const ChunkUpload& chunk, uint64_t generation) const {
    return place_ && place_->generation == generation &&
           place_->key == std::tuple(chunk.batch_id, chunk.part_number, chunk.chunk_index);
}

const char* part_state_name(PartState state) {
    switch (state) {
    case PartState::receiving: return "receiving";
    case PartState::decoding: return "decoding";
    case PartState::complete: return "complete";
    case PartState::error: return "error";
    }
    return "?";
}

bool batch_complete(const UploadBatch& batch) {
    const auto range = image_range(batch);
    return batch.image_state == ImageState::complete && range && batch.image_range == *range;
}

void uploads_load(Server& server) {
    ServerState& state = server.state();
    const fs::path root = uploads_dir(state);
    std::error_code ec;
    fs::create_directories(root, ec);
    if (ec) throw std::runtime_error("cannot create " + root.string() + ": " + ec.message());
    for (const auto& entry : fs::directory_iterator(root, ec)) {
        const std::string id = entry.path().filename().string();
        std::error_code type_error;
        if (!entry.is_directory(type_error) || !valid_batch_id(id)) continue;
        auto batch = load_batch(entry.path(), id);
        if (!batch) {
            print_line("upload: ignoring " + entry.path().string() + ": no readable batch record");
            continue;
        }
        state.next_disk_id = std::max(state.next_disk_id, batch->disk_id + 1);
        state.batches.emplace(id, std::move(*batch));
    }
    if (ec) throw std::runtime_error("cannot list " + root.string() + ": " + ec.message());
    // Chunks that were on their way in when the server stopped were never answered.
    const fs::path staging = fs::path(state.data_dir) / STAGING_FOLDER;
    fs::remove_all(staging, ec);
    fs::create_directories(staging, ec);
    if (ec) throw std::runtime_error("cannot create " + staging.string() + ": " + ec.message());

    // Work cut short by the last stop is done again.
    for (auto& [id, batch] : state.batches) {
        server.worker().post([bin = root / id / DISCARD_FOLDER](const std::atomic<bool>&) {
            std::error_code ignored;
            fs::remove_all(bin, ignored);
        });
        for (auto& [number, part] : batch.parts) {
            const fs::path chunks = root / id / part_folder_name(number);
            if (part.state == PartState::complete) discard(server, root / id, chunks);
            if (part.state == PartState::receiving && static_cast<int64_t>(part.received.size()) == part.total_chunks) {
                start_part(server, id, part);
            }
        }
        refresh_image(server, batch);
    }
    if (!state.batches.empty()) print_line("upload: " + std::to_string(state.batches.size()) + " batches recovered");
}
