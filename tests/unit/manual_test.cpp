// The manual pages (man/) against the sources they document, so that what a
// page quotes cannot drift from what the programs print.
//
// How a page quotes a program's own text (a message, a usage text, a
// confirmation, a default value):
//
//   - one line of text: a line that is exactly .B "text";
//   - several lines: an .EX/.EE block in the DIAGNOSTICS section, its lines
//     joined by newlines;
//   - the label of a report of the system's error, which perror prints as
//     the label, a colon, a blank and the reason: a line .BI "label: " reason.
//
// Quoted text keeps printf conversions as the program has them ("%s",
// "%d") and may use only these roff escapes: \- for "-", \(aq for "'", \e
// for a backslash, \(dq (or "" inside .B "...") for a double quote, and \&
// for nothing. Each quoted text must stand, byte for byte, within one string
// literal (adjacent literals joined, C escapes decoded) of the sources of the
// page's subject or of lib/: the page NAME.N documents program NAME, the page
// NAME.config.5 the configuration file of program NAME, and any other page
// (kestrune.config.5) the whole suite.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace
{

namespace fs = std::filesystem;

const fs::path sourceDir = KESTRUNE_SOURCE_DIR;
const fs::path manDir = sourceDir / "man";

std::string readFile(const fs::path &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// ---------------------------------------------------------------- C sources

struct Token {
    enum Kind { identifier, literal, other } kind;
    std::string text; // a literal's decoded bytes, adjacent literals joined
};

bool isIdentifierChar(char c)
{
    return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_';
}

// Decodes the escape at `i` (just after the backslash) of a C literal.
char decodeEscape(const std::string &s, std::size_t &i)
{
    char c = s[i++];
    switch (c) {
    case 'n':
        return '\n';
    case 't':
        return '\t';
    case 'r':
        return '\r';
    case 'a':
        return '\a';
    case 'b':
        return '\b';
    case 'f':
        return '\f';
    case 'v':
        return '\v';
    case 'x': {
        int value = 0;
        while (i < s.size() && std::isxdigit(static_cast<unsigned char>(s[i])))
            value = value * 16 + std::stoi(std::string(1, s[i++]), nullptr, 16);
        return static_cast<char>(value);
    }
    default:
        if (c >= '0' && c <= '7') {
            int value = c - '0';
            for (int n = 1; n < 3 && i < s.size() && s[i] >= '0' && s[i] <= '7'; ++n)
                value = value * 8 + (s[i++] - '0');
            return static_cast<char>(value);
        }
        return c; // \\ \" \' \?
    }
}

// The tokens of a C++ source that matter here: identifiers, string
// literals and everything else one character at a time. Comments and
// character literals are passed over, so that their quotes start nothing.
std::vector<Token> tokenize(const std::string &s)
{
    std::vector<Token> tokens;
    bool lastWasLiteral = false;
    for (std::size_t i = 0; i < s.size();) {
        char c = s[i];
        // Blanks and comments between two literals do not part them.
        if (std::isspace(static_cast<unsigned char>(c))) {
            ++i;
            continue;
        }
        if (s.compare(i, 2, "//") == 0) {
            i = std::min(s.find('\n', i), s.size());
            continue;
        }
        if (s.compare(i, 2, "/*") == 0) {
            std::size_t end = s.find("*/", i + 2);
            i = end == std::string::npos ? s.size() : end + 2;
            continue;
        }
        if (c == '"' || c == '\'') {
            std::string value;
            for (++i; i < s.size() && s[i] != c;) {
                if (s[i] == '\\')
                    value += decodeEscape(s, ++i);
                else
                    value += s[i++];
            }
            ++i;
            if (c == '\'') {
                lastWasLiteral = false;
                continue;
            }
            if (lastWasLiteral)
                tokens.back().text += value;
            else
                tokens.push_back({Token::literal, value});
            lastWasLiteral = true;
            continue;
        } else if (isIdentifierChar(c)) {
            // Numbers too, with their digit separators (1'000).
            std::size_t start = i;
            while (i < s.size() &&
                   (isIdentifierChar(s[i]) || (std::isdigit(static_cast<unsigned char>(s[start])) &&
                                               (s[i] == '\'' || s[i] == '.'))))
                ++i;
            tokens.push_back({Token::identifier, s.substr(start, i - start)});
        } else {
            tokens.push_back({Token::other, std::string(1, c)});
            ++i;
        }
        lastWasLiteral = false;
    }
    return tokens;
}

std::vector<std::string> literalsOf(const std::vector<Token> &tokens)
{
    std::vector<std::string> literals;
    for (const Token &token : tokens) {
        if (token.kind == Token::literal)
            literals.push_back(token.text);
    }
    return literals;
}

// The literal first arguments of the calls through which a program reports
// a failure and ends (or, for perror, tells why a child could not start).
std::vector<std::string> reportedMessages(const std::vector<Token> &tokens)
{
    static const std::set<std::string> reporters{"errorExit", "perrorExit", "logFatal", "perror"};
    std::vector<std::string> messages;
    for (std::size_t i = 0; i + 2 < tokens.size(); ++i) {
        if (tokens[i].kind == Token::identifier && reporters.count(tokens[i].text) != 0 &&
            tokens[i + 1].text == "(" && tokens[i + 2].kind == Token::literal)
            messages.push_back(tokens[i + 2].text);
    }
    return messages;
}

// The option letters of the getopt() calls, from their option strings.
std::set<char> optionLetters(const std::vector<Token> &tokens)
{
    std::set<char> letters;
    for (std::size_t i = 0; i + 1 < tokens.size(); ++i) {
        if (tokens[i].text != "getopt" || tokens[i + 1].text != "(")
            continue;
        for (std::size_t k = i + 2; k < tokens.size() && tokens[k].text != ")"; ++k) {
            if (tokens[k].kind != Token::literal)
                continue;
            for (char c : tokens[k].text) {
                if (c != ':')
                    letters.insert(c);
            }
            break;
        }
    }
    return letters;
}

std::vector<fs::path> sourcesIn(const fs::path &directory)
{
    std::vector<fs::path> files;
    for (const auto &entry : fs::directory_iterator(directory)) {
        std::string extension = entry.path().extension().string();
        if (entry.is_regular_file() && (extension == ".cpp" || extension == ".h"))
            files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    return files;
}

std::vector<Token> tokensOf(const std::vector<fs::path> &files)
{
    std::vector<Token> tokens;
    for (const fs::path &file : files) {
        std::vector<Token> more = tokenize(readFile(file));
        tokens.insert(tokens.end(), more.begin(), more.end());
    }
    return tokens;
}

// Every program the build installs, and the directory of its sources, as
// the kestrune_program() lines of the build files name them.
std::map<std::string, fs::path> programs()
{
    static const std::regex line(R"(kestrune_program\(\s*([A-Za-z0-9_]+)\s+([^\s)]+))");
    std::map<std::string, fs::path> found;
    for (const char *area : {"daemon", "admin", "bans", "maintenance", "cleaners"}) {
        fs::path directory = sourceDir / area;
        std::string build = readFile(directory / "CMakeLists.txt");
        for (std::sregex_iterator it(build.begin(), build.end(), line), end; it != end; ++it)
            found[(*it)[1]] = (directory / std::string((*it)[2])).parent_path();
    }
    return found;
}

// ---------------------------------------------------------------- pages

struct Page {
    fs::path path;
    std::string name;    // "ku_enrol", "kestrune.config"
    std::string section; // "8"
    std::vector<std::string> lines;
};

Page loadPage(const fs::path &path)
{
    Page page{path, path.stem().string(), path.extension().string().substr(1), {}};
    std::istringstream text(readFile(path));
    for (std::string line; std::getline(text, line);)
        page.lines.push_back(line);
    return page;
}

std::vector<Page> pages()
{
    std::vector<Page> found;
    for (const auto &entry : fs::directory_iterator(manDir)) {
        std::string extension = entry.path().extension().string();
        if (extension == ".1" || extension == ".5" || extension == ".8")
            found.push_back(loadPage(entry.path()));
    }
    std::sort(found.begin(), found.end(),
              [](const Page &a, const Page &b) { return a.path < b.path; });
    return found;
}

// The page of a program: section 1 for the commands installed for ordinary
// users (KESTRUNE_USER_PROGRAMS of the build), section 8 for the others.
fs::path pageOf(const std::string &program)
{
    static const std::regex line(R"(set\(KESTRUNE_USER_PROGRAMS([^)]*)\))");
    std::string build = readFile(sourceDir / "CMakeLists.txt");
    std::smatch match;
    std::set<std::string> users;
    if (std::regex_search(build, match, line)) {
        std::istringstream names(match[1]);
        for (std::string name; names >> name;)
            users.insert(name);
    }
    return manDir / (program + (users.count(program) != 0 ? ".1" : ".8"));
}

// The section a .SH line opens, without its quotes.
std::optional<std::string> sectionHeading(const std::string &line)
{
    if (line.rfind(".SH ", 0) != 0)
        return std::nullopt;
    std::string heading = line.substr(4);
    heading.erase(std::remove(heading.begin(), heading.end(), '"'), heading.end());
    return heading;
}

// The lines of one section of a page, without its heading.
std::vector<std::string> sectionLines(const Page &page, const std::string &wanted)
{
    std::vector<std::string> lines;
    bool inside = false;
    for (const std::string &line : page.lines) {
        if (std::optional<std::string> heading = sectionHeading(line))
            inside = *heading == wanted;
        else if (inside)
            lines.push_back(line);
    }
    return lines;
}

// Roff text as the reader sees it; an escape outside the convention is an
// error, so that nothing unchecked slips into a quoted text. Inside a quoted
// macro argument, "" stands for one double quote.
std::string decodeRoff(const std::string &text, bool quotedArgument, std::string &error)
{
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '"' && quotedArgument) {
            if (i + 1 < text.size() && text[i + 1] == '"') {
                out += '"';
                ++i;
                continue;
            }
            error = "a lone double quote ends the argument early";
            return out;
        }
        if (c != '\\') {
            out += c;
            continue;
        }
        std::string rest = text.substr(i + 1);
        if (rest.rfind("-", 0) == 0) {
            out += '-';
            i += 1;
        } else if (rest.rfind("e", 0) == 0) {
            out += '\\';
            i += 1;
        } else if (rest.rfind("&", 0) == 0) {
            i += 1;
        } else if (rest.rfind("(aq", 0) == 0) {
            out += '\'';
            i += 3;
        } else if (rest.rfind("(dq", 0) == 0) {
            out += '"';
            i += 3;
        } else {
            error = "escape \\" + rest.substr(0, 3) + " is not one of the convention's";
            return out;
        }
    }
    return out;
}

struct Quote {
    int line = 0;
    std::string text;
};

// Every text the page quotes; faults of the convention go to `errors`.
std::vector<Quote> quotesOf(const Page &page, std::vector<std::string> &errors)
{
    static const std::regex bold(R"re(^\.B "(.*)"\s*$)re");
    static const std::regex label(R"re(^\.BI "(.*): " .*$)re");
    std::vector<Quote> quotes;
    std::string section;
    std::optional<Quote> block; // an .EX block being read, and its lines so far
    std::vector<std::string> blockLines;
    for (std::size_t n = 0; n < page.lines.size(); ++n) {
        const std::string &line = page.lines[n];
        std::string where = page.path.filename().string() + ":" + std::to_string(n + 1);
        std::string error;
        if (block && line == ".EE") {
            for (std::size_t k = 0; k < blockLines.size(); ++k)
                block->text += (k > 0 ? "\n" : "") + blockLines[k];
            quotes.push_back(*block);
            block.reset();
        } else if (block && !line.empty() && line[0] == '.') {
            error = "a macro inside a quoted .EX block";
        } else if (block) {
            blockLines.push_back(decodeRoff(line, false, error));
        } else if (std::optional<std::string> heading = sectionHeading(line)) {
            section = *heading;
        } else if (line == ".EX" && section == "DIAGNOSTICS") {
            block = Quote{static_cast<int>(n + 1), ""};
            blockLines.clear();
        } else if (std::smatch match;
                   std::regex_match(line, match, bold) || std::regex_match(line, match, label)) {
            quotes.push_back({static_cast<int>(n + 1), decodeRoff(match[1], true, error)});
        }
        if (!error.empty())
            errors.push_back(where + ": " + error);
    }
    if (block)
        errors.push_back(page.path.filename().string() + ": .EX without .EE");
    return quotes;
}

// The sources a page's quoted texts must come from.
std::vector<fs::path> sourcesOfPage(const Page &page, const std::map<std::string, fs::path> &all)
{
    std::vector<fs::path> files = sourcesIn(sourceDir / "lib");
    std::string subject = page.name;
    if (subject.size() > 7 && subject.ends_with(".config"))
        subject.resize(subject.size() - 7);
    auto program = all.find(subject);
    for (const auto &[name, directory] : all) {
        if (program == all.end() || name == subject) {
            std::vector<fs::path> more = sourcesIn(directory);
            files.insert(files.end(), more.begin(), more.end());
        }
    }
    return files;
}

std::string shown(const std::string &text)
{
    std::string out;
    for (char c : text)
        out += c == '\n' ? std::string("\\n") : std::string(1, c);
    return "\"" + out + "\"";
}

// ---------------------------------------------------------------- the tests

TEST(ManualPages, EveryProgramHasAPageInItsSection)
{
    std::map<std::string, fs::path> all = programs();
    ASSERT_GE(all.size(), 20u) << "the build files name fewer programs than the suite has";
    ASSERT_EQ(pageOf("ku_daysleft").extension(), ".1") << "no user programs found in the build";
    for (const auto &[name, directory] : all)
        EXPECT_TRUE(fs::exists(pageOf(name))) << name << " has no page " << pageOf(name).filename();
}

TEST(ManualPages, TitleLineNamesThePage)
{
    for (const Page &page : pages()) {
        auto title = std::find_if(page.lines.begin(), page.lines.end(),
                                  [](const std::string &l) { return l.rfind(".TH ", 0) == 0; });
        ASSERT_NE(title, page.lines.end()) << page.path.filename() << " has no .TH line";
        std::istringstream words(title->substr(4));
        std::string name, section;
        words >> name >> section;
        std::string expected = page.name;
        std::transform(expected.begin(), expected.end(), expected.begin(), ::toupper);
        EXPECT_EQ(name, expected) << page.path.filename();
        EXPECT_EQ(section, page.section) << page.path.filename();
    }
}

// whatis and apropos read the NAME line as "name \- what it is"; a page
// copied from another must not go on naming the other's program.
TEST(ManualPages, NameAndSynopsisNameTheSubject)
{
    std::map<std::string, fs::path> all = programs();
    for (const Page &page : pages()) {
        std::vector<std::string> name = sectionLines(page, "NAME");
        ASSERT_FALSE(name.empty()) << page.path.filename() << " has no NAME line";
        EXPECT_EQ(name[0].rfind(page.name + " \\- ", 0), 0u)
            << page.path.filename() << ": NAME reads " << name[0];
        if (all.count(page.name) == 0)
            continue;
        std::vector<std::string> synopsis = sectionLines(page, "SYNOPSIS");
        std::regex command("^\\.B (\\S*/)?" + page.name + "( .*)?$");
        EXPECT_TRUE(!synopsis.empty() && std::regex_match(synopsis[0], command))
            << page.path.filename() << ": SYNOPSIS begins with "
            << (synopsis.empty() ? "nothing" : synopsis[0]);
    }
}

// Each option letter that a program's getopt() accepts has an entry
// (.TP, then .B \-x) under OPTIONS, and each entry there is such a letter.
TEST(ManualPages, OptionsAreTheProgramsOptions)
{
    static const std::regex entry(R"(^\.B \\-([A-Za-z0-9])$)");
    int withOptions = 0;
    for (const auto &[name, directory] : programs()) {
        if (!fs::exists(pageOf(name)))
            continue;
        std::set<char> accepted = optionLetters(tokensOf(sourcesIn(directory)));
        std::vector<std::string> options = sectionLines(loadPage(pageOf(name)), "OPTIONS");
        std::set<char> documented;
        for (std::size_t i = 1; i < options.size(); ++i) {
            std::smatch match;
            if (options[i - 1] == ".TP" && std::regex_match(options[i], match, entry))
                documented.insert(match[1].str()[0]);
        }
        EXPECT_EQ(documented, accepted) << pageOf(name).filename() << " and getopt() of " << name;
        withOptions += accepted.empty() ? 0 : 1;
    }
    EXPECT_GE(withOptions, 2) << "no getopt() option strings found";
}

// The paths that FILES lists (.TP, then .I path) are the ones the sources
// name; entries with a wildcard stand for many and are left out.
TEST(ManualPages, FilesArePathsTheSourcesName)
{
    static const std::regex path(R"(^\.I (/\S+)$)");
    std::map<std::string, fs::path> all = programs();
    for (const Page &page : pages()) {
        std::vector<std::string> literals = literalsOf(tokensOf(sourcesOfPage(page, all)));
        std::vector<std::string> files = sectionLines(page, "FILES");
        for (std::size_t i = 1; i < files.size(); ++i) {
            std::smatch match;
            if (files[i - 1] != ".TP" || !std::regex_match(files[i], match, path) ||
                match[1].str().find('*') != std::string::npos)
                continue;
            std::string named = match[1];
            bool used = std::any_of(literals.begin(), literals.end(), [&](const std::string &l) {
                return l.find(named) != std::string::npos;
            });
            EXPECT_TRUE(used) << page.path.filename() << " lists " << named
                              << ", which its sources never name";
        }
    }
}

TEST(ManualPages, HaveTheSectionsAnAdministratorLooksFor)
{
    std::map<std::string, fs::path> all = programs();
    for (const Page &page : pages()) {
        std::set<std::string> sections;
        for (const std::string &line : page.lines) {
            if (std::optional<std::string> heading = sectionHeading(line))
                sections.insert(*heading);
        }
        std::vector<std::string> wanted{"NAME",  "SYNOPSIS", "DESCRIPTION",
                                        "FILES", "EXAMPLES", "SEE ALSO"};
        auto program = all.find(page.name);
        if (program != all.end()) {
            wanted.insert(wanted.end(), {"EXIT STATUS", "DIAGNOSTICS"});
            // What the monitor and the cleaners never touch.
            std::string area = program->second.parent_path().filename().string();
            if (area == "cleaners" || program->second.filename() == "daemon")
                wanted.push_back("SAFETY");
        }
        for (const std::string &section : wanted)
            EXPECT_EQ(sections.count(section), 1u)
                << page.path.filename() << " lacks the section " << section;
    }
}

TEST(ManualPages, QuotedTextsAreTheProgramsOwn)
{
    std::map<std::string, fs::path> all = programs();
    std::vector<Page> found = pages();
    ASSERT_FALSE(found.empty());
    for (const Page &page : found) {
        std::vector<std::string> errors;
        std::vector<Quote> quotes = quotesOf(page, errors);
        for (const std::string &error : errors)
            ADD_FAILURE() << error;
        if (all.count(page.name) != 0) {
            EXPECT_FALSE(quotes.empty()) << page.path.filename() << " quotes no message at all";
        }
        std::vector<std::string> literals = literalsOf(tokensOf(sourcesOfPage(page, all)));
        for (const Quote &quote : quotes) {
            bool stands = std::any_of(literals.begin(), literals.end(), [&](const std::string &l) {
                return l.find(quote.text) != std::string::npos;
            });
            EXPECT_TRUE(stands) << page.path.filename().string() << ":" << quote.line << " quotes "
                                << shown(quote.text)
                                << ", which its program's sources and lib/ do not have";
        }
    }
}

TEST(ManualPages, EveryMessageAProgramEndsWithIsDocumented)
{
    for (const auto &[name, directory] : programs()) {
        if (!fs::exists(pageOf(name)))
            continue; // reported by EveryProgramHasAPageInItsSection
        Page page = loadPage(pageOf(name));
        std::vector<std::string> errors;
        std::set<std::string> quoted;
        for (const Quote &quote : quotesOf(page, errors))
            quoted.insert(quote.text);
        for (const std::string &message : reportedMessages(tokensOf(sourcesIn(directory))))
            EXPECT_EQ(quoted.count(message), 1u)
                << page.path.filename().string() << " does not quote " << shown(message)
                << ", which " << name << " prints";
    }
}

TEST(ManualPages, ReferencesToTheSuitesPagesLeadToPages)
{
    static const std::regex reference(R"(^\.BR ([A-Za-z0-9_.]+) \(([0-9])\))");
    std::map<std::string, fs::path> all = programs();
    for (const Page &page : pages()) {
        for (const std::string &line : page.lines) {
            std::smatch match;
            if (!std::regex_search(line, match, reference))
                continue;
            std::string name = match[1];
            bool ours = all.count(name) != 0 || name.rfind("ku_", 0) == 0 ||
                        name.rfind("kestrune", 0) == 0 || name.rfind("linewatchd", 0) == 0;
            if (!ours)
                continue;
            EXPECT_TRUE(fs::exists(manDir / (name + "." + std::string(match[2]))))
                << page.path.filename() << " refers to " << name << "(" << match[2]
                << "), which does not exist";
        }
    }
}

TEST(ManualPages, PagesTheUnitsNameExist)
{
    static const std::regex page(R"(man:([A-Za-z0-9_.]+)\(([0-9])\))");
    int named = 0;
    for (const auto &entry : fs::directory_iterator(sourceDir / "systemd")) {
        std::istringstream unit(readFile(entry.path()));
        for (std::string line; std::getline(unit, line);) {
            if (line.rfind("Documentation=", 0) != 0)
                continue;
            for (std::sregex_iterator it(line.begin(), line.end(), page), end; it != end; ++it) {
                ++named;
                fs::path path = manDir / (std::string((*it)[1]) + "." + std::string((*it)[2]));
                EXPECT_TRUE(fs::exists(path))
                    << entry.path().filename() << " names " << (*it)[0] << ", which is missing";
            }
        }
    }
    EXPECT_GT(named, 0) << "no unit names a manual page";
}

// The checks above lean on the reading of the sources: it must join adjacent
// literals, decode their escapes and see no literal in a comment or in a
// character literal.
TEST(ManualPages, SourceReadingJoinsLiteralsAndSkipsComments)
{
    std::vector<Token> tokens = tokenize("// \"not this\"\n"
                                         "char q = '\"'; int n = 1'000; /* \"nor this\" */\n"
                                         "errorExit(\"usage: x <a>\\n\"\n"
                                         "          \"       {b} \\\"c\\\"\\t\\101\");\n");
    EXPECT_EQ(literalsOf(tokens), std::vector<std::string>{"usage: x <a>\n       {b} \"c\"\tA"});
    EXPECT_EQ(reportedMessages(tokens), literalsOf(tokens));
}

TEST(ManualPages, QuotesFollowTheConvention)
{
    Page page{"x.8",
              "x",
              "8",
              {".SH DIAGNOSTICS", ".B \"can\\(aqt \\-x \"\"y\"\"\"", ".EX", "usage: a",
               "\\&    | b \\e", ".EE", ".BI \"/tmp/x: \" reason", ".B \"bad \\fBfont\"",
               ".B \"lone \" quote\""}};
    std::vector<std::string> errors;
    std::vector<Quote> quotes = quotesOf(page, errors);
    ASSERT_EQ(quotes.size(), 5u);
    EXPECT_EQ(quotes[0].text, "can't -x \"y\"");
    EXPECT_EQ(quotes[1].text, "usage: a\n    | b \\");
    EXPECT_EQ(quotes[2].text, "/tmp/x");
    EXPECT_EQ(errors.size(), 2u);
}

} // namespace
