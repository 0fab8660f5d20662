// Configuration store: folder choice, load limits, merge-and-save, atomic replacement, machine ID
// and the server base URL.
#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "core/config.h"
#include "test_support.h"

namespace {

using testing_support::read_file;
using testing_support::StderrCapture;
using testing_support::TempDir;
using testing_support::write_file;

constexpr size_t kLimit = 10485760;  // largest file that still loads

// Sets environment variables for one test and puts the old values back afterwards.
class EnvGuard {
public:
    EnvGuard() = default;
    EnvGuard(const EnvGuard&) = delete;
    EnvGuard& operator=(const EnvGuard&) = delete;
    ~EnvGuard() {
        for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
            if (it->second) setenv(it->first.c_str(), it->second->c_str(), 1);
            else unsetenv(it->first.c_str());
        }
    }
    // Sets `name`, or removes it when `value` is nothing.
    void set(const std::string& name, const std::optional<std::string>& value) {
        const char* old = std::getenv(name.c_str());
        saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
        if (value) setenv(name.c_str(), value->c_str(), 1);
        else unsetenv(name.c_str());
    }

private:
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

JsonPtr parse(const std::string& text) {
    JsonPtr tree = json_parse(text);
    EXPECT_TRUE(tree) << "test input is not JSON: " << text;
    return tree;
}

bool save(const std::string& json_text) {
    JsonPtr object = parse(json_text);
    return object && config_save(object.get());
}

std::vector<std::string> keys_of(const cJSON* object) {
    std::vector<std::string> keys;
    for (const cJSON* item = object ? object->child : nullptr; item; item = item->next) {
        keys.push_back(item->string ? item->string : "<no name>");
    }
    return keys;
}

std::vector<std::string> names_in(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

bool is_machine_id(const std::string& id) {
    static const std::regex shape("^[0-9a-f]{12}$");
    return std::regex_match(id, shape);
}

// Each test gets its own configuration folder: $XDG_CONFIG_HOME points at a fresh scratch folder.
class ConfigTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(root_.path().empty());
        env_.set("XDG_CONFIG_HOME", root_.path());
        config_init();
        ASSERT_EQ(config_get_dir(), dir());
        ASSERT_EQ(config_get_path(), file());
    }

    std::string dir() const { return root_.file("Zelvo"); }
    std::string file() const { return dir() + "/zelvo.conf"; }

    TempDir root_;
    EnvGuard env_;
};

TEST(ConfigFolder, FollowsXdgThenHome) {
    TempDir root;
    ASSERT_FALSE(root.path().empty());
    const std::string home = root.file("home");
    ASSERT_TRUE(std::filesystem::create_directory(home));
    struct Case {
        const char* name;
        std::optional<std::string> xdg;
        std::string expected_dir;
    };
    const Case cases[] = {
        {"XDG_CONFIG_HOME set", root.file("xdg"), root.file("xdg") + "/Zelvo"},
        {"XDG_CONFIG_HOME unset", std::nullopt, home + "/.config/Zelvo"},
        {"XDG_CONFIG_HOME empty", std::string(), home + "/.config/Zelvo"},
        {"XDG_CONFIG_HOME relative", std::string("relative/xdg"), home + "/.config/Zelvo"},
    };
    for (const Case& c : cases) {
        EnvGuard env;
        env.set("HOME", home);
        env.set("XDG_CONFIG_HOME", c.xdg);
        config_init();
        EXPECT_EQ(config_get_dir(), c.expected_dir) << c.name;
        EXPECT_EQ(config_get_path(), c.expected_dir + "/zelvo.conf") << c.name;
        EXPECT_TRUE(std::filesystem::is_directory(c.expected_dir)) << c.name << ": folder not created";
    }
}

TEST_F(ConfigTest, MachineIdIsCreatedOnceAndKept) {
    EXPECT_FALSE(config_load()) << "fresh folder should have no configuration";
    std::string id = get_machine_id();
    EXPECT_TRUE(is_machine_id(id)) << id;
    EXPECT_EQ(read_file(file()), "{\"machine_id\":\"" + id + "\"}");
    EXPECT_EQ(get_machine_id(), id);
    config_init();  // as after a restart
    EXPECT_EQ(get_machine_id(), id);
}

TEST_F(ConfigTest, ExistingMachineIdIsUsed) {
    write_file(file(), R"({"machine_id":"0123456789ab","other":1})");
    EXPECT_EQ(get_machine_id(), "0123456789ab");
    EXPECT_EQ(read_file(file()), R"({"machine_id":"0123456789ab","other":1})");
}

TEST_F(ConfigTest, DeleteStartsAFreshIdentity) {
    std::string first = get_machine_id();
    ASSERT_TRUE(save(R"({"private_key":"secret","server_url":"https://a.example"})"));
    config_delete();
    EXPECT_FALSE(std::filesystem::exists(file()));
    EXPECT_FALSE(config_load());

    std::string second = get_machine_id();
    EXPECT_TRUE(is_machine_id(second)) << second;
    EXPECT_NE(second, first);
    JsonPtr tree = config_load();
    EXPECT_EQ(keys_of(tree.get()), std::vector<std::string>{"machine_id"});
}

TEST_F(ConfigTest, SaveMergesAndMovesResavedKeysToTheEnd) {
    ASSERT_TRUE(save(R"({"private_key":"k1"})"));
    ASSERT_TRUE(save(R"({"machine_id":"m"})"));
    ASSERT_TRUE(save(R"({"server_url":"u"})"));
    ASSERT_TRUE(save(R"({"private_key":"k2"})"));
    EXPECT_EQ(read_file(file()), R"({"machine_id":"m","server_url":"u","private_key":"k2"})");

    // Several members in one save keep their own order and each replaces its old copy.
    ASSERT_TRUE(save(R"({"a":1,"machine_id":"m2"})"));
    EXPECT_EQ(read_file(file()), R"({"server_url":"u","private_key":"k2","a":1,"machine_id":"m2"})");
}

TEST_F(ConfigTest, UnknownKeysSurviveASave) {
    const std::string hand_edited =
        R"({ "custom": { "nested": [1, {"x": "y"}, null], "flag": true },
             "machine_id": "0123456789ab" })";
    write_file(file(), hand_edited);
    ASSERT_TRUE(save(R"({"token":"t"})"));

    JsonPtr tree = config_load();
    ASSERT_TRUE(tree);
    EXPECT_EQ(keys_of(tree.get()), (std::vector<std::string>{"custom", "machine_id", "token"}));
    JsonPtr original = parse(hand_edited);
    EXPECT_TRUE(cJSON_Compare(cJSON_GetObjectItemCaseSensitive(tree.get(), "custom"),
                              cJSON_GetObjectItemCaseSensitive(original.get(), "custom"), true));
}

TEST_F(ConfigTest, UnusableFilesReadAsNoneAndAreReplacedBySave) {
    std::string oversized = R"({"k":"v"})";
    oversized.resize(kLimit + 1, ' ');  // valid JSON, only the size is wrong
    struct Case {
        const char* name;
        std::string content;
        bool loads;
    };
    const Case cases[] = {
        {"empty file", "", false},
        {"one byte over the limit", oversized, false},
        {"not JSON", "machine_id=abc", false},
        {"truncated JSON", R"({"machine_id":"abc")", false},
        {"JSON followed by more text", R"({"machine_id":"abc"} trailing)", false},
        {"JSON array", R"(["machine_id"])", true},
        {"JSON string", R"("machine_id")", true},
    };
    for (const Case& c : cases) {
        write_file(file(), c.content);
        EXPECT_EQ(static_cast<bool>(config_load()), c.loads) << c.name;
        ASSERT_TRUE(save(R"({"b":2,"a":1})")) << c.name;
        EXPECT_EQ(read_file(file()), R"({"b":2,"a":1})") << c.name;
    }
}

TEST_F(ConfigTest, FileOfExactlyTheLimitLoads) {
    std::string padded = R"({"k":"v"})";
    padded.resize(kLimit, ' ');
    write_file(file(), padded);
    JsonPtr tree = config_load();
    ASSERT_TRUE(tree);
    EXPECT_STREQ(json_string(tree.get(), "k"), "v");
}

TEST_F(ConfigTest, SaveWritesCompactJsonAndLeavesNoTemporaryFiles) {
    get_machine_id();
    ASSERT_TRUE(save(R"({ "a" : "b c", "n" : 1.5, "o" : { "x" : [ 1, 2 ] }, "t" : true })"));
    ASSERT_TRUE(save(R"({"n":2})"));
    std::string text = read_file(file());
    std::string id = get_machine_id();
    EXPECT_EQ(text, R"({"machine_id":")" + id + R"(","a":"b c","o":{"x":[1,2]},"t":true,"n":2})");
    EXPECT_EQ(names_in(dir()), std::vector<std::string>{"zelvo.conf"});
}

TEST_F(ConfigTest, ConcurrentSavesLoseNothing) {
    constexpr int kThreads = 4;
    constexpr int kSaves = 25;
    std::vector<std::thread> threads;
    std::vector<int> failures(kThreads, 0);
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &failures] {
            for (int i = 0; i < kSaves; ++i) {
                JsonPtr object(cJSON_CreateObject());
                cJSON_AddNumberToObject(object.get(), ("t" + std::to_string(t) + "_" + std::to_string(i)).c_str(), i);
                if (!config_save(object.get())) ++failures[t];
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(failures[t], 0) << "thread " << t;
    JsonPtr tree = config_load();
    ASSERT_TRUE(tree);
    EXPECT_EQ(cJSON_GetArraySize(tree.get()), kThreads * kSaves);
    EXPECT_EQ(names_in(dir()), std::vector<std::string>{"zelvo.conf"});
}

// Saves `json_text` with the rights of an ordinary user. Root writes through missing write bits,
// so as root the save runs in a child process that has given its rights up (the folder is handed
// to that user first). Nothing when the rights could not be dropped.
std::optional<bool> save_as_ordinary_user(const std::string& root, const std::string& dir,
                                          const std::string& json_text) {
    if (geteuid() != 0) return save(json_text);
    constexpr uid_t kNobody = 65534;
    if (chmod(root.c_str(), 0711) != 0 || chown(dir.c_str(), kNobody, kNobody) != 0) return std::nullopt;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        if (chown(entry.path().c_str(), kNobody, kNobody) != 0) return std::nullopt;
    }
    JsonPtr object = parse(json_text);
    if (!object) return std::nullopt;
    pid_t child = fork();
    if (child < 0) return std::nullopt;
    if (child == 0) {
        if (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0 || geteuid() == 0) _exit(2);
        _exit(config_save(object.get()) ? 0 : 1);
    }
    int status = 0;
    if (waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) == 2) return std::nullopt;
    return WEXITSTATUS(status) == 0;
}

TEST_F(ConfigTest, SaveIntoReadOnlyFolderFailsAndKeepsTheOldFile) {
    ASSERT_TRUE(save(R"({"machine_id":"0123456789ab"})"));
    const std::string before = read_file(file());
    ASSERT_EQ(chmod(dir().c_str(), 0500), 0);

    std::optional<bool> saved = save_as_ordinary_user(root_.path(), dir(), R"({"token":"t"})");
    if (!saved) GTEST_SKIP() << "could not run the save without write rights";
    EXPECT_FALSE(*saved);
    EXPECT_EQ(read_file(file()), before);
    EXPECT_EQ(names_in(dir()), std::vector<std::string>{"zelvo.conf"});
}

// A file that is there but cannot be read may hold the device key: a save must not replace it
// with a file made from nothing.
TEST_F(ConfigTest, AFileThatCannotBeReadIsNeverSavedOver) {
    ASSERT_TRUE(save(R"({"private_key":"kept"})"));
    const std::string before = read_file(file());
    ASSERT_EQ(chmod(file().c_str(), 0), 0);
    std::optional<bool> saved = save_as_ordinary_user(root_.path(), dir(), R"({"machine_id":"0123456789ab"})");
    ASSERT_EQ(chmod(file().c_str(), 0600), 0);
    if (!saved) GTEST_SKIP() << "could not run the save without read rights";
    EXPECT_FALSE(*saved);
    EXPECT_EQ(read_file(file()), before);

    // A folder in the file's place opens but reads nothing: the same refusal, with a reason.
    ASSERT_EQ(unlink(file().c_str()), 0);
    ASSERT_EQ(mkdir(file().c_str(), 0700), 0);
    StderrCapture capture(root_.file("stderr.txt"));
    EXPECT_FALSE(config_load());
    EXPECT_FALSE(save(R"({"machine_id":"0123456789ab"})"));
    std::string log = capture.finish();
    EXPECT_NE(log.find("config: cannot read " + file() + " (is a folder), not saving over it"), std::string::npos)
        << log;
}

TEST_F(ConfigTest, SaveReplacesAMemberWhateverItsLetterCase) {
    write_file(file(), R"({"Private_Key":"old","other":1,"PRIVATE_KEY":"older"})");
    ASSERT_TRUE(save(R"({"private_key":"new"})"));
    EXPECT_EQ(read_file(file()), R"({"other":1,"private_key":"new"})");
    JsonPtr tree = config_load();
    EXPECT_STREQ(json_string(tree.get(), "private_key"), "new");
}

// --- server base URL -------------------------------------------------------------------------

TEST(ServerUrl, AcceptsOnlyHttpOrigins) {
    struct Case {
        const char* url;
        bool valid;
    };
    const Case cases[] = {
        {"https://a.example", true},
        {"http://127.0.0.1:8080", true},
        {"https://host:443/", true},
        {"http://[::1]:9000", true},
        {"https://host:65535", true},
        {"https://host:1", true},
        {"ftp://x", false},
        {"https://", false},
        {"https://host:0", false},
        {"https://host:65536", false},
        {"https://host:99999999", false},
        {"https://host:", false},
        {"https://host/path", false},
        {"https://host//", false},
        {"https://host?x=1", false},
        {"https://user@host", false},
        {"wss://host", false},
        {"HTTPS://host", false},
        {"https://ho st", false},
        {" https://host", false},
        {"http://[]:80", false},
        {"http://[::1", false},
        {"", false},
    };
    for (const Case& c : cases) EXPECT_EQ(config_valid_server_url(c.url), c.valid) << "\"" << c.url << "\"";
    EXPECT_TRUE(config_valid_server_url(ZELVO_DEFAULT_SERVER_URL)) << "built-in default";
}

TEST_F(ConfigTest, ApplyServerUrlTakesOnlyValidValues) {
    ASSERT_TRUE(save(R"({"server_url":"https://h.example:8443/"})"));
    config_apply_server_url();
    EXPECT_EQ(config_server_url(), "https://h.example:8443");

    for (const char* ignored : {R"({"server_url":"ftp://x"})", R"({"server_url":5})", R"({"server_url":""})"}) {
        ASSERT_TRUE(save(ignored));
        config_apply_server_url();
        EXPECT_EQ(config_server_url(), "https://h.example:8443") << ignored;
    }

    config_delete();
    config_apply_server_url();
    EXPECT_EQ(config_server_url(), "https://h.example:8443") << "no file";
}

}  // namespace
