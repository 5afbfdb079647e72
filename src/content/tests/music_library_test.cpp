// The music library on disk: manifest rules, package search, digest, extraction, installation.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdio>
#include <fstream>

#include "content/music_library.hpp"
#include "content/tests/test_archive.hpp"
#include "content/zip_extract.hpp"
#include "server/tests/test_client.hpp"

// This file's own names: the test programs compile their files together in batches.
namespace music_library_test {

using namespace solvera;
using solvera::test::ArchiveEntry;
using solvera::test::TempDir;
namespace fs = std::filesystem;

namespace {

// A library folder whose manifest is the given text, with the files a.mp3, a.jpg, sub/b.mp3
// and the folder dir/ present.
std::optional<std::size_t> countWithManifest(const std::string& manifest) {
  TempDir dir;
  dir.write("manifest.json", manifest);
  dir.write("a.mp3", "audio");
  dir.write("a.jpg", "cover");
  dir.write("sub/b.mp3", "audio");
  fs::create_directories(dir.path() / "dir");
  return validMusicLibraryTrackCount(dir.path());
}

std::string manifestWith(const std::string& tracks) {
  return R"({"format":"solvera-music-library","tracks":)" + tracks + "}";
}

std::string slurp(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

}  // namespace

TEST(MusicLibraryManifest, CountsTracksOnlyWhenEveryRuleHolds) {
  EXPECT_EQ(
      countWithManifest(manifestWith(
          R"([{"file":"a.mp3","cover":"a.jpg","x":1},{"file":"sub/b.mp3","cover":"a.jpg"}])")),
      2u)
      << "two valid tracks; other members are ignored";
  EXPECT_EQ(
      countWithManifest(
          R"({"format":"solvera-music-library","version":3,"tracks":[{"file":"a.mp3","cover":"a.jpg"}]})"),
      1u);

  struct Case {
    const char* why;
    std::string manifest;
  };
  const Case invalid[] = {
      {"empty tracks", manifestWith("[]")},
      {"track without cover", manifestWith(R"([{"file":"a.mp3"}])")},
      {"cover not a string", manifestWith(R"([{"file":"a.mp3","cover":7}])")},
      {"\"..\" at the start", manifestWith(R"([{"file":"../a.mp3","cover":"a.jpg"}])")},
      {"\"..\" between folders", manifestWith(R"([{"file":"sub/../a.mp3","cover":"a.jpg"}])")},
      {"\"..\" inside a name", manifestWith(R"([{"file":"a..mp3","cover":"a.jpg"}])")},
      {"leading slash", manifestWith(R"([{"file":"/a.mp3","cover":"a.jpg"}])")},
      {"file names a folder", manifestWith(R"([{"file":"dir","cover":"a.jpg"}])")},
      {"cover names a folder", manifestWith(R"([{"file":"a.mp3","cover":"sub"}])")},
      {"file missing on disk", manifestWith(R"([{"file":"gone.mp3","cover":"a.jpg"}])")},
      {"empty file name", manifestWith(R"([{"file":"","cover":"a.jpg"}])")},
      {"NUL in a name", manifestWith(R"([{"file":"a.mp3\u0000x","cover":"a.jpg"}])")},
      {"one bad track spoils all",
       manifestWith(R"([{"file":"a.mp3","cover":"a.jpg"},{"file":"a.mp3"}])")},
      {"track not an object", manifestWith(R"(["a.mp3"])")},
      {"tracks not an array", manifestWith(R"({"file":"a.mp3","cover":"a.jpg"})")},
      {"tracks missing", R"({"format":"solvera-music-library"})"},
      {"wrong format", R"({"format":"solvera-music","tracks":[{"file":"a.mp3","cover":"a.jpg"}]})"},
      {"format not a string", R"({"format":1,"tracks":[{"file":"a.mp3","cover":"a.jpg"}]})"},
      {"top level an array", R"([{"format":"solvera-music-library"}])"},
      {"not JSON", "{format: solvera-music-library"},
  };
  for (const auto& c : invalid) {
    EXPECT_EQ(countWithManifest(c.manifest), std::nullopt) << c.why;
  }

  TempDir empty;
  EXPECT_EQ(validMusicLibraryTrackCount(empty.path()), std::nullopt) << "no manifest.json";
  EXPECT_EQ(validMusicLibraryTrackCount(empty.path() / "missing"), std::nullopt);
}

TEST(MusicLibraryPackageSearch, FindsTheRootOrOneVisibleChildNeverDeeper) {
  TempDir root;
  test::writeLibrary(root.path(), 2);
  EXPECT_EQ(musicLibraryPackageURL(root.path()), root.path());

  TempDir nested;
  fs::create_directories(nested.path() / "__MACOSX");
  nested.write("readme.txt", "not a package");
  test::writeLibrary(nested.path() / "Core Library", 3);
  EXPECT_EQ(musicLibraryPackageURL(nested.path()), nested.path() / "Core Library");

  TempDir hidden;
  test::writeLibrary(hidden.path() / ".library", 1);
  EXPECT_EQ(musicLibraryPackageURL(hidden.path()), std::nullopt) << "hidden entries are skipped";

  TempDir deep;
  test::writeLibrary(deep.path() / "a" / "b", 1);
  EXPECT_EQ(musicLibraryPackageURL(deep.path()), std::nullopt) << "two levels down";

  EXPECT_EQ(musicLibraryPackageURL(deep.path() / "missing"), std::nullopt);
}

TEST(MusicLibraryDigest, MatchesKnownVectorsAcrossChunkBoundaries) {
  TempDir dir;
  dir.write("empty", "");
  dir.write("abc", "abc");
  EXPECT_EQ(sha256(dir.path() / "empty"),
            "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(sha256(dir.path() / "abc"),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  // One million "a": the long-message vector.
  dir.write("million", std::string(1'000'000, 'a'));
  EXPECT_EQ(sha256(dir.path() / "million"),
            "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");

  // Across chunk boundaries the result must equal an independent implementation's.
  for (std::size_t size : {kDigestChunkBytes, 2 * kDigestChunkBytes + 3}) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 131) >> 7);
    dir.write("big", bytes);
    std::string command = "sha256sum '" + (dir.path() / "big").string() + "'";
    std::FILE* pipe = ::popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    char line[129] = {};
    ASSERT_NE(std::fgets(line, sizeof line, pipe), nullptr);
    ::pclose(pipe);
    EXPECT_EQ(sha256(dir.path() / "big"), std::string(line, 64)) << size << " bytes";
  }
  EXPECT_EQ(sha256(dir.path() / "missing"), std::nullopt);
}

TEST(MusicLibraryInstallation, ReplacesTheOldLibraryThroughTheStagingFolder) {
  TempDir dir;
  const fs::path target = dir.path() / "data" / "Solvera Pro" / "Music Library";
  const fs::path staging = dir.path() / "data" / "Solvera Pro" / "Music Library.installing";
  test::writeLibrary(dir.path() / "old", 1);
  ASSERT_FALSE(installMusicLibraryIntoPlace(dir.path() / "old", target)) << "parent created";
  dir.write("data/Solvera Pro/Music Library/stale.txt", "from the old library");
  dir.write("data/Solvera Pro/Music Library.installing/left.txt", "left from a failed run");

  test::writeLibrary(dir.path() / "new", 3);
  fs::create_symlink("tracks/0.mp3", dir.path() / "new" / "first.mp3");
  ASSERT_FALSE(installMusicLibraryIntoPlace(dir.path() / "new", target));
  EXPECT_EQ(validMusicLibraryTrackCount(target), 3u);
  EXPECT_FALSE(fs::exists(target / "stale.txt")) << "the old library is replaced, not merged";
  EXPECT_FALSE(fs::exists(staging));
  EXPECT_TRUE(fs::is_symlink(target / "first.mp3")) << "links are copied as links";
  EXPECT_EQ(slurp(target / "first.mp3"), test::trackBytes(0));
  EXPECT_TRUE(fs::exists(dir.path() / "new" / "manifest.json")) << "the source stays";

  // A source that contains the target's folder would be copied into itself.
  test::writeLibrary(dir.path() / "data", 1);
  EXPECT_TRUE(installMusicLibraryIntoPlace(dir.path() / "data", target));
  EXPECT_EQ(validMusicLibraryTrackCount(target), 3u) << "the installed library is untouched";
}

TEST(ZipExtraction, ExtractsFilesFoldersAndInsideLinks) {
  TempDir dir;
  auto entries = test::libraryEntries(2, "Core/");
  entries.insert(entries.begin(), {"Core/", "", ArchiveEntry::Type::folder});
  entries.push_back({"Core/latest.mp3", "tracks/1.mp3", ArchiveEntry::Type::symlink});
  entries.push_back({"Core/Ruisende zee \xE2\x80\x94 \xC3\xBC.txt", "utf-8 name"});
  dir.write("good.zip", test::buildZip(entries));
  fs::create_directories(dir.path() / "out");
  std::string error;
  ASSERT_TRUE(extractZipArchive(dir.path() / "good.zip", dir.path() / "out", &error)) << error;
  EXPECT_EQ(validMusicLibraryTrackCount(dir.path() / "out" / "Core"), 2u);
  EXPECT_EQ(slurp(dir.path() / "out" / "Core" / "tracks" / "1.mp3"), test::trackBytes(1));
  EXPECT_EQ(slurp(dir.path() / "out" / "Core" / "latest.mp3"), test::trackBytes(1));
  EXPECT_TRUE(fs::exists(dir.path() / "out" / "Core" / "Ruisende zee \xE2\x80\x94 \xC3\xBC.txt"));

  // Folders and files stored without the owner's rights get them, so they can be removed.
  dir.write("locked.zip",
            test::buildZip({{"locked/", "", ArchiveEntry::Type::folder, 0500},
                            {"locked/track.mp3", "x", ArchiveEntry::Type::file, 0400}}));
  fs::create_directories(dir.path() / "locked-out");
  ASSERT_TRUE(extractZipArchive(dir.path() / "locked.zip", dir.path() / "locked-out", &error));
  EXPECT_EQ(fs::status(dir.path() / "locked-out" / "locked").permissions() & fs::perms::owner_all,
            fs::perms::owner_all);
  EXPECT_EQ(fs::status(dir.path() / "locked-out" / "locked" / "track.mp3").permissions() &
                fs::perms::owner_all,
            fs::perms::owner_read | fs::perms::owner_write);

  dir.write("garbage.zip", "PK\x03\x04 this is not really an archive");
  fs::create_directories(dir.path() / "out2");
  EXPECT_FALSE(extractZipArchive(dir.path() / "garbage.zip", dir.path() / "out2"));
  EXPECT_FALSE(extractZipArchive(dir.path() / "missing.zip", dir.path() / "out2"));
}

TEST(ZipExtraction, RefusesEntriesAndLinksThatLeaveTheFolder) {
  struct Case {
    const char* why;
    std::vector<ArchiveEntry> entries;
  };
  const Case cases[] = {
      {"../ entry", {{"ok.txt", "fine"}, {"../escaped.txt", "outside"}}},
      {"../ in the middle", {{"a/../../escaped.txt", "outside"}}},
      {"absolute path", {{"/tmp/solvera-absolute-entry.txt", "outside"}}},
      {"link to an absolute path", {{"escaped.txt", "/etc/passwd", ArchiveEntry::Type::symlink}}},
      {"link climbing out", {{"escaped.txt", "../../x", ArchiveEntry::Type::symlink}}},
      {"link chain climbing out",
       {{"a", ".", ArchiveEntry::Type::symlink},
        {"escaped.txt", "a/..", ArchiveEntry::Type::symlink}}},
      {"writing through a link",
       {{"sub", "..", ArchiveEntry::Type::symlink}, {"sub/escaped.txt", "outside"}}},
      {"a file in place of the folder", {{"./", "", ArchiveEntry::Type::folder}, {".", "x"}}},
  };
  for (const auto& c : cases) {
    TempDir dir;
    fs::create_directories(dir.path() / "work" / "out");
    dir.write("a.zip", test::buildZip(c.entries));
    EXPECT_FALSE(extractZipArchive(dir.path() / "a.zip", dir.path() / "work" / "out")) << c.why;
    EXPECT_FALSE(fs::exists(dir.path() / "work" / "escaped.txt")) << c.why;
    EXPECT_FALSE(fs::exists(dir.path() / "escaped.txt")) << c.why;
    EXPECT_TRUE(fs::is_directory(fs::symlink_status(dir.path() / "work" / "out"))) << c.why;
  }
  EXPECT_FALSE(fs::exists("/tmp/solvera-absolute-entry.txt"));
}

}  // namespace music_library_test
