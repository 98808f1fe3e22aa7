// The manual pages (man/) against the sources they document, so that what a
// page quotes cannot drift from what the programs print.
//
// A page quotes a program's own text (a message, a usage text, a
// confirmation, a default value) as a line .B "text"; as an .EX/.EE block in
// DIAGNOSTICS, its lines joined by newlines; or, for the label of a report
// that perror prints as the label, a colon, a blank and the reason, as a line
// .BI "label: " reason. Quoted text keeps printf conversions as the program
// has them ("%s") and may use only the roff escapes \- \(aq \e \(dq \& (and ""
// for a double quote inside .B "..."). Each quoted text must stand, byte for
// byte, within one string literal (adjacent literals joined, C escapes
// decoded) in some file under lib/ or under the directory of the page's
// subject: program NAME for NAME.N and NAME.config.5, every program for any
// other page (kestrune.config.5).
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <utility>
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

// The first group of every match of `pattern` in `text`.
std::vector<std::string> found(const std::string &text, const std::string &pattern)
{
    std::regex regex(pattern);
    std::vector<std::string> groups;
    for (std::sregex_iterator it(text.begin(), text.end(), regex), end; it != end; ++it)
        groups.push_back((*it)[1]);
    return groups;
}

// ---------------------------------------------------------------- sources

// A string literal, adjacent ones joined and escapes decoded, and the code
// since the literal before it, which tells what the literal is passed to.
struct Literal {
    std::string before;
    std::string text;
};
using Literals = std::vector<Literal>;

// Comments and character literals are passed over, so that their quotes
// start nothing; a quote after a letter or digit is a digit separator (1'000).
Literals literalsOf(const std::string &s)
{
    Literals literals;
    std::string code;
    bool joins = false; // nothing but blanks and comments since the last literal
    for (std::size_t i = 0; i < s.size();) {
        if (s.compare(i, 2, "//") == 0 || s.compare(i, 2, "/*") == 0) {
            bool line = s[i + 1] == '/';
            i = std::min(s.find(line ? "\n" : "*/", i + 2), s.size()) + (line ? 0 : 2);
            continue;
        }
        char quote = s[i++];
        if (quote != '"' && (quote != '\'' || (i > 1 && std::isalnum(s[i - 2] & 0xff) != 0))) {
            joins = joins && std::isspace(quote & 0xff) != 0;
            code += quote;
            continue;
        }
        std::string text;
        for (; i < s.size() && s[i] != quote; ++i) {
            bool escaped = s[i] == '\\' && ++i < s.size();
            std::size_t letter = escaped ? std::string_view("ntra").find(s[i]) : std::string::npos;
            text += letter != std::string::npos ? "\n\t\r\a"[letter] : s[i];
        }
        ++i;
        if (quote == '\'')
            code += "' '";
        else if (joins)
            literals.back().text += text;
        else
            literals.push_back({std::exchange(code, ""), text});
        joins = quote == '"';
    }
    return literals;
}

// The literals of every .cpp and .h at any depth under the directories.
Literals literalsUnder(const std::vector<fs::path> &directories)
{
    Literals all;
    for (const fs::path &directory : directories) {
        for (const auto &entry : fs::recursive_directory_iterator(directory)) {
            std::string extension = entry.path().extension().string();
            if (entry.is_regular_file() && (extension == ".cpp" || extension == ".h")) {
                Literals more = literalsOf(readFile(entry.path()));
                all.insert(all.end(), more.begin(), more.end());
            }
        }
    }
    return all;
}

// The option string of a getopt() call, and the first argument of the calls
// through which a program reports a failure and ends (or, for perror, tells
// why a child could not start).
const char *const getoptCall = R"(\bgetopt\s*\([^;]*$)";
const char *const reporterCall = R"(\b(errorExit|perrorExit|logFatal|perror)\s*\(\s*$)";

// The literals whose code before them ends in `call`.
std::vector<std::string> passedTo(const Literals &literals, const char *call)
{
    std::vector<std::string> texts;
    for (const Literal &literal : literals) {
        if (std::regex_search(literal.before, std::regex(call)))
            texts.push_back(literal.text);
    }
    return texts;
}

bool named(const Literals &literals, const std::string &text)
{
    return std::any_of(literals.begin(), literals.end(),
                       [&](const Literal &l) { return l.text.find(text) != std::string::npos; });
}

// ---------------------------------------------------------------- pages

struct Program {
    fs::path directory;
    std::string page; // its file name
};

// Every program the build installs, as the kestrune_program() lines of the
// build files name it; its page is in section 1 when it is installed for
// ordinary users (KESTRUNE_USER_PROGRAMS), in section 8 otherwise.
std::map<std::string, Program> programs()
{
    std::string top = readFile(sourceDir / "CMakeLists.txt");
    std::string users = " " + found(top, R"(KESTRUNE_USER_PROGRAMS\s+([^)]*))").at(0) + " ";
    std::map<std::string, Program> all;
    for (const char *area : {"daemon", "admin", "bans", "maintenance", "cleaners"}) {
        std::string build = readFile(sourceDir / area / "CMakeLists.txt");
        for (const std::string &line : found(build, R"(kestrune_program\(([^)]*)\))")) {
            std::string name, main;
            std::istringstream(line) >> name >> main;
            bool user = users.find(" " + name + " ") != std::string::npos;
            all[name] = {(sourceDir / area / main).parent_path(), name + (user ? ".1" : ".8")};
        }
    }
    return all;
}

// Every page by its file name, with a newline before each of its lines.
std::map<std::string, std::string> pages()
{
    std::map<std::string, std::string> all;
    for (const auto &entry : fs::directory_iterator(manDir)) {
        if (std::regex_match(entry.path().extension().string(), std::regex(R"(\.[158])")))
            all[entry.path().filename()] = "\n" + readFile(entry.path());
    }
    return all;
}

// The lines of one section of a page, each after a newline.
std::string section(const std::string &page, const std::string &heading)
{
    std::size_t start = page.find("\n.SH " + heading + "\n");
    if (start == std::string::npos)
        return "";
    start += heading.size() + 5;
    return page.substr(start, page.find("\n.SH ", start) - start) + "\n";
}

// The literals of the sources a page documents: lib/ and its subject's
// directory, or every program's for a page of the whole suite.
Literals sourcesOf(const std::string &page, const std::map<std::string, Program> &all)
{
    std::string subject = fs::path(page).stem();
    subject.resize(std::min(subject.size(), subject.rfind(".config")));
    std::vector<fs::path> directories{sourceDir / "lib"};
    for (const auto &[name, program] : all) {
        if (all.count(subject) == 0 || name == subject)
            directories.push_back(program.directory);
    }
    return literalsUnder(directories);
}

// Roff text as the reader sees it. Any other escape, a lone double quote in
// a macro argument or a macro in a block stays as it is, and so cannot match.
std::string decodeRoff(std::string text, bool macroArgument)
{
    static const std::vector<std::pair<std::string, std::string>> escapes{
        {"\"\"", "\""}, {"\\-", "-"}, {"\\&", ""}, {"\\(aq", "'"}, {"\\(dq", "\""}, {"\\e", "\\"}};
    for (const auto &[from, to] : escapes) {
        std::size_t at = macroArgument || from[0] == '\\' ? 0 : std::string::npos;
        for (; (at = text.find(from, at)) != std::string::npos; at += to.size())
            text.replace(at, from.size(), to);
    }
    return text;
}

// Every text a page quotes. A block left open runs to the section's end.
std::vector<std::string> quotesOf(const std::string &page)
{
    static const std::regex line(R"re(\n\.B "(.*)"[ \t]*(?=\n)|\n\.BI "(.*): " .*(?=\n))re");
    std::vector<std::string> quotes;
    for (std::sregex_iterator it(page.begin(), page.end(), line), end; it != end; ++it)
        quotes.push_back(decodeRoff((*it)[(*it)[1].matched ? 1 : 2], true));
    for (const std::string &block :
         found(section(page, "DIAGNOSTICS"), R"(\n\.EX\n((?:.*\n)*?)(\.EE(?=\n)|$))"))
        quotes.push_back(decodeRoff(block.substr(0, block.size() - 1), false)); // the last newline
    return quotes;
}

// ---------------------------------------------------------------- the tests

TEST(ManualPages, EveryProgramHasAPageInItsSection)
{
    std::map<std::string, Program> all = programs();
    std::map<std::string, std::string> texts = pages();
    ASSERT_GE(all.size(), 20u) << "the build files name fewer programs than the suite has";
    ASSERT_EQ(all["ku_daysleft"].page, "ku_daysleft.1") << "no user programs found in the build";
    for (const auto &[name, program] : all)
        EXPECT_EQ(texts.count(program.page), 1u) << name << " has no page " << program.page;
}

// A page copied from another must not go on naming the other's program in its
// title, its NAME line (which whatis and apropos read as "name \- what it is")
// or its SYNOPSIS; and each page has, once, the sections an administrator
// looks for.
TEST(ManualPages, NameTheirSubjectAndHaveTheUsualSections)
{
    std::map<std::string, Program> all = programs();
    for (const auto &[file, text] : pages()) {
        std::string name = fs::path(file).stem(), title = file;
        std::transform(title.begin(), title.end(), title.begin(), ::toupper);
        name = std::regex_replace(name, std::regex("\\."), "\\.");
        title = std::regex_replace(title, std::regex("\\.(\\d)$"), " $1");
        std::vector<std::string> wanted{"\\.TH " + title + " .*",
                                        "\\.SH NAME\n" + name + " \\\\- .*",
                                        "\\.SH SYNOPSIS",
                                        "\\.SH DESCRIPTION",
                                        "\\.SH FILES",
                                        "\\.SH EXAMPLES",
                                        "\\.SH SEE ALSO"};
        if (auto program = all.find(fs::path(file).stem()); program != all.end()) {
            wanted[2] += "\n\\.B (\\S*/)?" + name + "( .*)?";
            wanted.insert(wanted.end(), {"\\.SH EXIT STATUS", "\\.SH DIAGNOSTICS"});
            // What the monitor and the cleaners never touch.
            fs::path directory = program->second.directory;
            if (directory.parent_path().filename() == "cleaners" ||
                directory.filename() == "daemon")
                wanted.push_back("\\.SH SAFETY");
        }
        for (const std::string &pattern : wanted)
            EXPECT_EQ(found(text, "\n(" + pattern + ")(?=\n)").size(), 1u)
                << file << " has not once a line (or lines) " << pattern;
    }
}

// Each option letter that a program's getopt() accepts has an entry
// (.TP, then .B \-x) under OPTIONS, and each entry there is such a letter.
TEST(ManualPages, OptionsAreTheProgramsOptions)
{
    std::map<std::string, std::string> texts = pages();
    int withOptions = 0;
    for (const auto &[name, program] : programs()) {
        std::set<char> accepted, documented;
        for (const std::string &letters : passedTo(literalsUnder({program.directory}), getoptCall))
            std::copy_if(letters.begin(), letters.end(), std::inserter(accepted, accepted.end()),
                         [](char c) { return c != ':'; });
        std::string options = section(texts[program.page], "OPTIONS");
        for (const std::string &letter : found(options, R"(\n\.TP\n\.B \\-(\w)(?=\n))"))
            documented.insert(letter[0]);
        EXPECT_EQ(documented, accepted) << program.page << " and getopt() of " << name;
        withOptions += accepted.empty() ? 0 : 1;
    }
    EXPECT_GE(withOptions, 2) << "no getopt() option strings found";
}

// The paths that FILES lists (.TP, then .I path) are the ones the sources
// name, whole or as a directory and a name; entries with a wildcard stand for
// many and are left out.
TEST(ManualPages, FilesArePathsTheSourcesName)
{
    std::map<std::string, Program> all = programs();
    for (const auto &[file, text] : pages()) {
        Literals literals = sourcesOf(file, all);
        for (const fs::path path :
             found(section(text, "FILES"), R"(\n\.TP\n\.I (/[^\s*]+)(?=\n))")) {
            EXPECT_TRUE(named(literals, path) ||
                        (named(literals, path.parent_path()) && named(literals, path.filename())))
                << file << " lists " << path << ", which its sources never name";
        }
    }
}

TEST(ManualPages, QuotedTextsAreTheProgramsOwn)
{
    std::map<std::string, Program> all = programs();
    int checked = 0;
    for (const auto &[file, text] : pages()) {
        std::vector<std::string> quotes = quotesOf(text);
        EXPECT_TRUE(all.count(fs::path(file).stem()) == 0 || !quotes.empty())
            << file << " quotes no message at all";
        Literals literals = sourcesOf(file, all);
        for (const std::string &quote : quotes) {
            EXPECT_TRUE(named(literals, quote))
                << file << " quotes " << testing::PrintToString(quote)
                << ", which its program's sources and lib/ lack";
            ++checked;
        }
    }
    EXPECT_GE(checked, 200) << "the pages quote far fewer texts than they do";
}

TEST(ManualPages, EveryMessageAProgramEndsWithIsDocumented)
{
    std::map<std::string, std::string> texts = pages();
    for (const auto &[name, program] : programs()) {
        std::vector<std::string> quotes = quotesOf(texts[program.page]);
        for (const std::string &message :
             passedTo(literalsUnder({program.directory}), reporterCall))
            EXPECT_TRUE(std::find(quotes.begin(), quotes.end(), message) != quotes.end())
                << program.page << " does not quote " << testing::PrintToString(message)
                << ", which " << name << " prints";
    }
}

// The suite's own pages that pages (.BR name (N)) and the systemd units
// (Documentation=man:name(N)) refer to exist.
TEST(ManualPages, ReferencesToTheSuitesPagesLeadToPages)
{
    std::vector<std::pair<std::string, std::string>> references; // who refers, and to what
    for (const auto &[file, text] : pages()) {
        for (const std::string &name :
             found(text, R"(\n\.BR ((?:ku_|kestrune|linewatchd)[\w.]* \(\d\)))"))
            references.emplace_back(file, name);
    }
    for (const auto &entry : fs::directory_iterator(sourceDir / "systemd")) {
        for (const std::string &line : found(readFile(entry.path()), R"(Documentation=(.*))")) {
            for (const std::string &name : found(line, R"(man:(\S+))"))
                references.emplace_back(entry.path().filename(), name);
        }
    }
    EXPECT_GT(references.size(), 20u) << "no page or unit refers to the suite's pages";
    for (const auto &[from, name] : references) {
        std::string file = std::regex_replace(name, std::regex(R"( ?\((\d)\)$)"), ".$1");
        EXPECT_TRUE(fs::exists(manDir / file)) << from << " refers to " << name << ", missing";
    }
}

// The checks above lean on the reading of the sources: it must join adjacent
// literals, decode their escapes and see no literal in a comment or in a
// character literal.
TEST(ManualPages, SourceReadingJoinsLiteralsAndSkipsComments)
{
    Literals literals = literalsOf("// \"not this\"\n"
                                   "char q = '\"'; int n = 1'000; /* \"nor this\" */\n"
                                   "errorExit(\"usage: x <a>\\n\" // between\n"
                                   "          \"       {b} \\\"c\\\"\\t\\\\\");\n"
                                   "getopt(argc, argv, \"lp:\") + f(\"x\");");
    ASSERT_EQ(literals.size(), 3u);
    EXPECT_EQ(literals[0].text, "usage: x <a>\n       {b} \"c\"\t\\");
    EXPECT_EQ(passedTo(literals, reporterCall), std::vector<std::string>{literals[0].text});
    EXPECT_EQ(passedTo(literals, getoptCall), std::vector<std::string>{"lp:"});
}

// What the convention allows decodes to what the reader sees; anything else
// stays as it is, so that it cannot match a program's text.
TEST(ManualPages, QuotesFollowTheConvention)
{
    std::string page = "\n.SH DIAGNOSTICS\n.B \"can\\(aqt \\-x \"\"y\"\"\"\n.EX\nusage: a\n"
                       "\\&    | b \\e\n.EE\n.BI \"/tmp/x: \" reason\n.B \"bad \\fBfont\"\n"
                       ".B \"lone \" quote\"\n.EX\n.TP\n.EE\n.EX\nopen\n.SH EXAMPLES\n";
    EXPECT_EQ(quotesOf(page),
              (std::vector<std::string>{"can't -x \"y\"", "/tmp/x", "bad \\fBfont", "lone \" quote",
                                        "usage: a\n    | b \\", ".TP", "open"}));
}

} // namespace
