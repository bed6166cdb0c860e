// The settings file format as the store reads and writes it, and the list
// operations on it.
#include "store_util.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>

using namespace store;

namespace {

Entries E(std::initializer_list<std::pair<std::string, std::string>> list)
{
    return Entries(list);
}

} // namespace

TEST(ReadSettings, EmptyFilesAndEmptyLinesAddNothing)
{
    EXPECT_EQ(read_file_text(""), std::make_pair(1, Entries{}));
    EXPECT_EQ(read_file_text("\n\n\n"), std::make_pair(1, Entries{}));
    EXPECT_EQ(read_file_text("A=1\n\nB='x y'\n"), std::make_pair(1, E({{"A", "1"}, {"B", "x y"}})));
    // The last line needs no line feed.
    EXPECT_EQ(read_file_text("A=1\nB=2"), std::make_pair(1, E({{"A", "1"}, {"B", "2"}})));
}

TEST(ReadSettings, MalformedLineStopsTheReadAndKeepsWhatCameBefore)
{
    EXPECT_EQ(read_file_text("A=1\nNAME\nC=3\n"), std::make_pair(0, E({{"A", "1"}})));
    EXPECT_EQ(read_file_text("A=1\nK='abc\nC=3\n"), std::make_pair(0, E({{"A", "1"}})));
    // No comments: a hash line is an ordinary line.
    EXPECT_EQ(read_file_text("# settings\nA=1\n").first, 0);
    EXPECT_EQ(read_file_text("#A=1\n"), std::make_pair(1, E({{"#A", "1"}})));
    // The empty-key test comes after the closing-quote test.
    EXPECT_EQ(read_file_text("='\nA=1\n"), std::make_pair(0, Entries{}));
    EXPECT_EQ(read_file_text("=x\nA=1\n"), std::make_pair(1, E({{"A", "1"}})));
}

TEST(ReadSettings, QuotedValuesRunToTheLastQuote)
{
    EXPECT_EQ(read_file_text("K='it's'\n").second, E({{"K", "it's"}}));
    EXPECT_EQ(read_file_text("K='a b' and more\n").second, E({{"K", "a b"}}));
    EXPECT_EQ(read_file_text("K=''\n").second, E({{"K", ""}}));
    EXPECT_EQ(read_file_text("K='''\n").second, E({{"K", "'"}}));
    // A quote that is not the value's first character is ordinary.
    EXPECT_EQ(read_file_text("K=a'b\n").second, E({{"K", "a'b"}}));
}

TEST(ReadSettings, NothingIsTrimmedOrSplitBeyondTheFirstEqualsSign)
{
    EXPECT_EQ(read_file_text("K=a=b\n").second, E({{"K", "a=b"}}));
    EXPECT_EQ(read_file_text("K = v\n").second, E({{"K ", " v"}}));
    EXPECT_EQ(read_file_text("K=abc   \n").second, E({{"K", "abc   "}}));
    EXPECT_EQ(read_file_text("\tK=\tv\n").second, E({{"\tK", "\tv"}}));
    EXPECT_EQ(read_file_text("K=\xff\xfe\x80\n").second, E({{"K", "\xff\xfe\x80"}}));
}

TEST(ReadSettings, CarriageReturnsStayPartOfTheLine)
{
    EXPECT_EQ(read_file_text("A=1\r\nB='x y'\r\n"), std::make_pair(1, E({{"A", "1\r"}, {"B", "x y"}})));
    // A line of a lone carriage return has no equals sign.
    EXPECT_EQ(read_file_text("A=1\r\n\r\n").first, 0);
}

TEST(ReadSettings, LinesAreReadInPiecesOf1022Characters)
{
    std::string exact = "K=" + std::string(1020, 'v');
    EXPECT_EQ(read_file_text(exact + "\nB=2\n"), std::make_pair(1, E({{"K", exact.substr(2)}, {"B", "2"}})));

    // 2000 characters: the first piece is an entry; the rest is a line of
    // its own, which fails without an equals sign...
    std::string first = "K=" + std::string(1020, 'a');
    std::string rest(978, 'b');
    EXPECT_EQ(read_file_text(first + rest + "\nB=2\n"), std::make_pair(0, E({{"K", first.substr(2)}})));
    // ...and is an entry of its own with one.
    std::string other = "R=" + std::string(976, 'c');
    EXPECT_EQ(read_file_text(first + other + "\nB=2\n"),
              std::make_pair(1, E({{"K", first.substr(2)}, {"R", other.substr(2)}, {"B", "2"}})));
}

TEST(ReadSettings, APieceBeginningWithNulIsSkipped)
{
    EXPECT_EQ(read_file_text(std::string("\0junk\nK=v\n", 10)), std::make_pair(1, E({{"K", "v"}})));
    EXPECT_EQ(read_file_text(std::string("K=a\0b\n", 6)), std::make_pair(1, E({{"K", "a"}})));
}

TEST(ReadSettings, EntriesAreAddedAfterThoseAlreadyThere)
{
    std::string path = scratch("twice.settings");
    write_text(path, "A=1\nB=2\n");
    List list;
    appendkeyvalue(list, "Z", "0");
    EXPECT_EQ(readkeyvalues(list, path.c_str()), 1);
    EXPECT_EQ(readkeyvalues(list, path.c_str()), 1);
    EXPECT_EQ(list.entries(), E({{"Z", "0"}, {"A", "1"}, {"B", "2"}, {"A", "1"}, {"B", "2"}}));
}

TEST(ReadSettings, FilesThatCannotBeReadFail)
{
    List list;
    appendkeyvalue(list, "Z", "0");
    EXPECT_EQ(readkeyvalues(list, scratch("missing.settings").c_str()), 0);
    // A directory opens but every read fails: that is no empty file.
    std::string dir = scratch("directory.settings");
    rmdir(dir.c_str());
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    EXPECT_EQ(readkeyvalues(list, dir.c_str()), 0);
    rmdir(dir.c_str());
    // A FIFO would wait for a peer forever: refused at once by both (the
    // alarm ends a test that waits), and nothing else is: no device either.
    std::string fifo = scratch("fifo.settings");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    alarm(10);
    EXPECT_EQ(readkeyvalues(list, fifo.c_str()), 0);
    EXPECT_EQ(writekeyvalues(list, fifo.c_str()), 0);
    EXPECT_EQ(writekeyvalues(list, "/dev/null"), 0);
    alarm(0);
    struct stat st {};
    EXPECT_TRUE(stat(fifo.c_str(), &st) == 0 && S_ISFIFO(st.st_mode));
    unlink(fifo.c_str());
    EXPECT_EQ(list.entries(), E({{"Z", "0"}}));
}

TEST(WriteSettings, OneLinePerEntryQuotedWhenTheValueHoldsASpace)
{
    std::string path = scratch("write.settings");
    List list;
    list.add({{"A", "1"}, {"B", "x y"}, {"T", "a\tb"}, {"E", ""}, {"Q", "a=b"}, {"S", "end "}});
    ASSERT_EQ(writekeyvalues(list, path.c_str()), 1);
    EXPECT_EQ(read_text(path), "A=1\nB='x y'\nT=a\tb\nE=\nQ=a=b\nS='end '\n");

    List back;
    EXPECT_EQ(readkeyvalues(back, path.c_str()), 1);
    EXPECT_EQ(back.entries(), list.entries());
}

TEST(WriteSettings, AValueBeginningWithAQuoteIsQuotedAndReadsBack)
{
    std::string path = scratch("quote.settings");
    List list;
    list.add({{"A", "'abc"}, {"B", "'"}, {"C", "'x'"}, {"D", "it's"}});
    ASSERT_EQ(writekeyvalues(list, path.c_str()), 1);
    EXPECT_EQ(read_text(path), "A=''abc'\nB='''\nC=''x''\nD=it's\n");
    List back;
    EXPECT_EQ(readkeyvalues(back, path.c_str()), 1);
    EXPECT_EQ(back.entries(), list.entries());
}

TEST(WriteSettings, ReplacesLongerContentsInTheSameFile)
{
    std::string path = scratch("same.settings");
    write_text(path, "LONG=" + std::string(5000, 'x') + "\nMORE=1\n");
    ASSERT_EQ(chmod(path.c_str(), 0640), 0);
    ASSERT_EQ(chown(path.c_str(), 33, 100), 0);
    std::string other = scratch("same.link");
    ASSERT_EQ(link(path.c_str(), other.c_str()), 0);
    struct stat before {};
    ASSERT_EQ(stat(path.c_str(), &before), 0);

    List list;
    list.add({{"A", "1"}});
    ASSERT_EQ(writekeyvalues(list, path.c_str()), 1);
    EXPECT_EQ(read_text(path), "A=1\n");
    EXPECT_EQ(read_text(other), "A=1\n") << "both names still lead to the one file";

    struct stat after {};
    ASSERT_EQ(stat(path.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_mode, before.st_mode);
    EXPECT_EQ(after.st_uid, 33u);
    EXPECT_EQ(after.st_gid, 100u);
}

TEST(WriteSettings, EmptyListsAndNewFiles)
{
    std::string path = scratch("empty.settings");
    write_text(path, "A=1\n");
    List list;
    EXPECT_EQ(writekeyvalues(list, path.c_str()), 1);
    EXPECT_EQ(read_text(path), "") << "the head is never written";

    std::string fresh = scratch("fresh.settings");
    mode_t old = umask(027);
    appendkeyvalue(list, "A", "1");
    EXPECT_EQ(writekeyvalues(list, fresh.c_str()), 1);
    umask(old);
    struct stat st {};
    ASSERT_EQ(stat(fresh.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(read_text(fresh), "A=1\n");

    EXPECT_EQ(writekeyvalues(list, (std::string(KORVANE_SCRATCH) + "/no/such/dir").c_str()), 0);
}

TEST(Lookup, FirstOccurrenceWinsForFindAndReplace)
{
    std::string path = scratch("dup.settings");
    write_text(path, "K=1\nK=2\n");
    List list;
    ASSERT_EQ(readkeyvalues(list, path.c_str()), 1);
    char value[1023] = "";
    EXPECT_EQ(findkey(list, "K", value), 1);
    EXPECT_STREQ(value, "1");

    replacekeyvalue(list, "K", "3");
    EXPECT_EQ(list.entries(), E({{"K", "3"}, {"K", "2"}}));
    replacekeyvalue(list, "N", "new");
    EXPECT_EQ(list.entries(), E({{"K", "3"}, {"K", "2"}, {"N", "new"}}));
    ASSERT_EQ(writekeyvalues(list, path.c_str()), 1);
    EXPECT_EQ(read_text(path), "K=3\nK=2\nN=new\n");
}

TEST(Lookup, KeysMatchByteForByteAndTheHeadNever)
{
    List list;
    char value[1100];
    memset(value, 'x', sizeof(value));
    EXPECT_EQ(findkey(list, "KEY", value), 0);
    list.add({{"K ", "space"}, {"k", "lower"}});
    EXPECT_EQ(findkey(list, "K", value), 0);
    EXPECT_EQ(value[0], 'x') << "a miss leaves the buffer alone";

    EXPECT_EQ(findkey(list, "k", value), 1);
    EXPECT_STREQ(value, "lower");
    // A match fills exactly 1023 bytes: the value, then NUL bytes.
    for (int i = 5; i < 1023; i++)
        ASSERT_EQ(value[i], '\0') << i;
    EXPECT_EQ(value[1023], 'x');
}

TEST(Lookup, LongStringsAreCutTo1022Characters)
{
    List list;
    std::string longkey(2000, 'k'), longvalue(2000, 'v');
    appendkeyvalue(list, longkey.c_str(), longvalue.c_str());
    EXPECT_EQ(list.entries(), E({{longkey.substr(0, 1022), longvalue.substr(0, 1022)}}));
    replacekeyvalue(list, longkey.substr(0, 1022).c_str(), std::string(1500, 'w').c_str());
    char value[1023];
    ASSERT_EQ(findkey(list, longkey.substr(0, 1022).c_str(), value), 1);
    EXPECT_EQ(std::string(value), std::string(1022, 'w'));
}

TEST(Lookup, FreeEmptiesTheListAndKeepsTheHead)
{
    List list;
    list.add({{"A", "1"}, {"B", "2"}});
    freekeyvalues(list);
    EXPECT_EQ(list.head->next, nullptr);
    EXPECT_STREQ(list.head->key, "KEY");
    EXPECT_STREQ(list.head->value, "VALUE");
    appendkeyvalue(list, "C", "3");
    EXPECT_EQ(list.entries(), E({{"C", "3"}}));
}

TEST(ReadLine, TokensAreSpaceSeparatedPairsAndBareWords)
{
    List list;
    const char *line = "a=1 b  c=x=y =z d=";
    std::string before = line;
    readkeyvaluesfromline(list, line);
    EXPECT_EQ(before, line);
    EXPECT_EQ(list.entries(), E({{"a", "1"}, {"b", "1"}, {"c", "x=y"}, {"", "z"}, {"d", ""}}));
}

TEST(ReadLine, QuotesAndTabsAreOrdinaryAndALineFeedEndsTheLine)
{
    List list;
    readkeyvaluesfromline(list, "k='a b'");
    EXPECT_EQ(list.entries(), E({{"k", "'a"}, {"b'", "1"}}));

    List tabs;
    readkeyvaluesfromline(tabs, "\ta\tb=c\td ");
    EXPECT_EQ(tabs.entries(), E({{"\ta\tb", "c\td"}}));

    List cut;
    readkeyvaluesfromline(cut, "x=1 y\nz=2");
    EXPECT_EQ(cut.entries(), E({{"x", "1"}, {"y", "1"}}));

    List none;
    readkeyvaluesfromline(none, "");
    readkeyvaluesfromline(none, "     ");
    readkeyvaluesfromline(none, "\nx=1");
    EXPECT_EQ(none.entries(), Entries{});
}

TEST(ReadLine, OnlyTheFirst1022CharactersCountAndEntriesAreAppended)
{
    List list;
    appendkeyvalue(list, "first", "0");
    std::string line = std::string(1018, 'p') + " a=bcdef";
    readkeyvaluesfromline(list, line.c_str());
    EXPECT_EQ(list.entries(), E({{"first", "0"}, {std::string(1018, 'p'), "1"}, {"a", "b"}}));
}
