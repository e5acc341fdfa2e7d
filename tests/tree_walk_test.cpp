// The whole-tree walk: each directory entered once, whatever the tree's ranges say.
#include "archive/read/tree_walk.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/test_files.h"

namespace qev {
namespace {

using testing::ArchiveBuilder;

TEST(UsableNames, WhatCanBeAFileName) {
    for (std::string_view ok : {"a", "meta.xml", "...", ".hidden", "caf\xC3\xA9", "a\\b", " "}) {
        EXPECT_TRUE(isUsableName(ok)) << ok;
    }
    for (std::string_view bad : {std::string_view(""), std::string_view("."), std::string_view(".."),
                                 std::string_view("a/b"), std::string_view("/"), std::string_view("a\0b", 3)}) {
        EXPECT_FALSE(isUsableName(bad)) << bad;
    }
}

// Everything a walk reports, one line per event.
class Recorder : public WalkVisitor {
public:
    std::vector<std::string> events;
    void enterDirectory(NodeId d) override { events.push_back("enter " + std::to_string(d)); }
    void child(const WalkChild& c) override {
        static const char* kStatus[] = {"usable", "unusable", "duplicate", "again"};
        events.push_back(std::to_string(c.parent) + "/" + std::to_string(c.node) + " " + std::string(c.name) + " " +
                         kStatus[int(c.status)]);
    }
    void childrenPastEnd(NodeId d, uint64_t missing) override {
        events.push_back("past end " + std::to_string(d) + " " + std::to_string(missing));
    }
};

std::vector<std::string> walk(const ArchiveBuilder& b, NodeId start = 0) {
    auto reader = testing::openBytes(b.build());
    Recorder r;
    walkTree(reader->index(), start, r);
    return r.events;
}

using Events = std::vector<std::string>;

TEST(TreeWalk, BreadthFirstInStoredOrder) {
    ArchiveBuilder b;
    b.file("a/x", "1").file("b", "2").dir("a/c");
    // Root: a(1) b(2); a: x(3) c(4).
    EXPECT_EQ(walk(b), (Events{"enter 0", "0/1 a usable", "0/2 b usable", "enter 1", "1/3 x usable", "1/4 c usable",
                               "enter 4"}));
    EXPECT_EQ(walk(b, 1), (Events{"enter 1", "1/3 x usable", "1/4 c usable", "enter 4"}));
    EXPECT_EQ(walk(b, 2), Events{});  // a file is not walked
}

TEST(TreeWalk, ACycleIsEnteredOnce) {
    ArchiveBuilder b;
    b.dir("a/b");
    // b's only child is a, its own parent.
    b.editTree([](auto& t) { t[2] = testing::directoryEntry(t[2].nameOffset(), 1, 1); });
    EXPECT_EQ(walk(b), (Events{"enter 0", "0/1 a usable", "enter 1", "1/2 b usable", "enter 2", "2/1 a again"}));
}

TEST(TreeWalk, ARangeHoldingTheRootIsStillFinite) {
    ArchiveBuilder b;
    b.dir("a");
    // a's children are the root (unnamed) and a itself.
    b.editTree([](auto& t) { t[1] = testing::directoryEntry(t[1].nameOffset(), 0, 2); });
    EXPECT_EQ(walk(b), (Events{"enter 0", "0/1 a usable", "enter 1", "1/0  unusable", "1/1 a again"}));
}

TEST(TreeWalk, SharedChildrenAreEnteredUnderTheFirstParentOnly) {
    ArchiveBuilder b;
    b.dir("a/c").dir("b/d");
    // Root: a(1) b(2); a: c(3); b: d(4). b now claims c too.
    b.editTree([](auto& t) { t[2] = testing::directoryEntry(t[2].nameOffset(), 3, 2); });
    EXPECT_EQ(walk(b), (Events{"enter 0", "0/1 a usable", "0/2 b usable", "enter 1", "1/3 c usable", "enter 2",
                               "2/3 c again", "2/4 d usable", "enter 3", "enter 4"}));
}

TEST(TreeWalk, UnusableAndDuplicateNamesAreNotEntered) {
    ArchiveBuilder b;
    b.dir("../in");
    EXPECT_EQ(walk(b), (Events{"enter 0", "0/1 .. unusable"}));
    ArchiveBuilder d;
    d.dir("x/in").dir("y/in2");
    d.editTree([](auto& t) { t[2].words[0] = t[1].words[0]; });  // y is now called x
    EXPECT_EQ(walk(d), (Events{"enter 0", "0/1 x usable", "0/2 x duplicate", "enter 1", "1/3 in usable", "enter 3"}));
}

TEST(TreeWalk, NamesDifferingOnlyInLetterCaseAreMarked) {
    ArchiveBuilder b;
    b.file("Code", "1").file("code", "2").file("CODE", "3").file("other", "4");
    auto reader = testing::openBytes(b.build());
    std::vector<std::string> seen;
    classifyChildren(reader->index(), 0,
                     [&](const WalkChild& c) { seen.push_back(std::string(c.name) + (c.caseTwin ? " twin" : "")); });
    EXPECT_EQ(seen, (Events{"Code", "code twin", "CODE twin", "other"}));
}

// 2,000 directories, each of which claims all 2,000 as children: four million child slots
// for a tree of 2,001 entries. The walk stops looking once its budget is spent.
TEST(TreeWalk, DirectoriesSharingChildrenWithoutEndAreCut) {
    ArchiveBuilder b;
    for (int i = 0; i < 2000; ++i) b.dir("d" + std::to_string(10000 + i));
    b.editTree([](auto& t) {
        for (size_t i = 1; i < t.size(); ++i) t[i] = testing::directoryEntry(t[i].nameOffset(), 1, 2000);
    });
    auto reader = testing::openBytes(b.build());
    struct Counter : WalkVisitor {
        uint64_t children = 0, cut = 0;
        void child(const WalkChild&) override { ++children; }
        void childrenLeftOut(NodeId) override { ++cut; }
    } counter;
    walkTree(reader->index(), 0, counter);
    EXPECT_LE(counter.children, walkBudget(reader->index().treeSize()));
    EXPECT_GT(counter.cut, 0u);
}

TEST(TreeWalk, ChildrenPastTheEndAreReported) {
    ArchiveBuilder b;
    b.file("a/x", "1");
    b.editTree([](auto& t) { t[1] = testing::directoryEntry(t[1].nameOffset(), 2, 5); });
    EXPECT_EQ(walk(b), (Events{"enter 0", "0/1 a usable", "enter 1", "1/2 x usable", "past end 1 4"}));
    ArchiveBuilder far;
    far.dir("a");
    far.editTree([](auto& t) { t[1] = testing::directoryEntry(t[1].nameOffset(), 0xFFFFFFF0, 0xFFFFFFFF); });
    EXPECT_EQ(walk(far), (Events{"enter 0", "0/1 a usable", "enter 1", "past end 1 4294967295"}));
}

}  // namespace
}  // namespace qev
