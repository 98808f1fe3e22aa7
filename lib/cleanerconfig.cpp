// The configuration files of the two cleaners: keyword lines whose settings
// take effect in the order they are read.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "common.h"
#include "internal.h"

namespace
{

struct LineBuffer {
    char *text = nullptr;
    std::size_t size = 0;
    ~LineBuffer() { std::free(text); }
};

} // namespace

void readCleanerConfig(
    const char *path, const std::function<void(std::string_view keyword, ConfigWords words)> &apply)
{
    UniqueFile file(std::fopen(path, "re"));
    if (file == nullptr)
        perrorExit("fopen");
    readCleanerLines(file.get(), apply);
}

void readCleanerLines(std::FILE *file,
                      const std::function<void(std::string_view keyword, ConfigWords words)> &apply)
{
    LineBuffer line;
    ssize_t length;
    while ((length = getline(&line.text, &line.size, file)) >= 0) {
        ConfigWords words{std::string_view(line.text, static_cast<std::size_t>(length))};
        std::string_view keyword;
        if (words.next(keyword))
            apply(keyword, words);
    }
}

bool nextLoginUid(ConfigWords &words, uid_t &uid)
{
    std::string_view word;
    while (words.next(word)) {
        std::optional<uid_t> found = loginUid(std::string(word).c_str());
        if (found) {
            uid = *found;
            return true;
        }
    }
    return false;
}
