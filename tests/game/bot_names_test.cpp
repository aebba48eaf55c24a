#include "game/bot_names.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <utility>

#include "game/errors.hpp"

namespace game {
namespace {

TEST(Quoted, KeepsTextAndEscapesControlsAndBytesThatAreNotUtf8) {
    const std::array<std::pair<std::string_view, std::string_view>, 8> cases = {{
        {"mcts:400", "'mcts:400'"},
        {"caf\xc3\xa9 \xe6\xbc\xa2 \xf0\x9f\x8e\xb2", "'caf\xc3\xa9 \xe6\xbc\xa2 \xf0\x9f\x8e\xb2'"},
        {std::string_view("a\0b\n\x7f", 5), "'a\\x00b\\x0a\\x7f'"},
        {"\xff\xfe.tvln", "'\\xff\\xfe.tvln'"},
        {"\xed\xa0\x80", "'\\xed\\xa0\\x80'"},  // a surrogate
        {"\xc0\xaf", "'\\xc0\\xaf'"},           // an overlong '/'
        {"\xf4\x90\x80\x80", "'\\xf4\\x90\\x80\\x80'"},  // past U+10FFFF
        {"end\xe2\x82", "'end\\xe2\\x82'"},              // cut short
    }};
    for (const auto& [text, expected] : cases) EXPECT_EQ(quoted(text), expected);
}

// A file that any net: name with its path plays, under a fresh folder.
class WeightsFolder {
public:
    WeightsFolder() {
        std::string pattern = (std::filesystem::temp_directory_path() / "names-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) std::abort();
        folder_ = pattern;
        const std::array<float, NET_FEATURES> weights{};
        const std::array<float, 1> bias{};
        const NetLayerData layer{NET_FEATURES, 1, weights, bias};
        bytes_ = *NetWeights::file_bytes(NET_FEATURE_SET, {&layer, 1}, "");
    }
    ~WeightsFolder() { std::filesystem::remove_all(folder_); }

    // The path of a weights file called `name` in the folder.
    std::string file(const std::string& name) const {
        const std::string path = folder_ + "/" + name;
        std::FILE* out = std::fopen(path.c_str(), "wb");
        if (out == nullptr) std::abort();
        std::fwrite(bytes_.data(), 1, bytes_.size(), out);
        std::fclose(out);
        return path;
    }

private:
    std::string folder_;
    Bytes bytes_;
};

TEST(BotNames, EveryPathReadsBackWholeThroughItsName) {
    // File names from the characters that the grammar gives a meaning to, and others.
    constexpr std::string_view ALPHABET = ",',=: a\xff";
    const WeightsFolder folder;
    std::mt19937_64 generator(3);
    for (int n = 0; n < 200; ++n) {
        std::string file_name(1 + generator() % 8, ' ');
        for (char& c : file_name) c = ALPHABET[generator() % ALPHABET.size()];
        const std::string path = folder.file(file_name);
        const std::string text = "net:path=" + setting_text(path) + ",temperature=2";
        std::string why;
        const std::optional<BotSpec> bot = bot_named(text, &why);
        ASSERT_TRUE(bot) << quoted(text) << ": " << why;
        EXPECT_EQ(bot->net->path(), path);
        EXPECT_EQ(name(*bot), text);
        // And its name splits back whole out of a list of names, as a command line gives them.
        const std::vector<std::string> names = {"mcts:ms=5,playout=random", text, "greedy"};
        EXPECT_EQ(bot_names_in(names[0] + ',' + names[1] + ", " + names[2]), names);
    }
}

}  // namespace
}  // namespace game
