#include <algorithm>
#include <cstring>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "test_support.h"
#include "values/ident.h"

namespace {

// Interned names are permanent, so these tests do not use the allocation baseline.
TEST(IdentTable, EveryNameIsInternedOnce) {
  // Enough names of mixed lengths that many share a chain.
  std::vector<std::string> names;
  for (int k = 0; k < 3000; k++) names.push_back("IDT_" + std::to_string(k * 7919 % 100003) + std::string(k % 5, 'Z'));
  std::vector<IdentEntry*> entries;
  for (const auto& n : names) entries.push_back(ident_hash(n.c_str(), 0, 0, MSG_LONGJMP));
  std::set<IdentEntry*> distinct(entries.begin(), entries.end());
  EXPECT_EQ(distinct.size(), names.size());
  for (size_t k = 0; k < names.size(); k++) {
    ASSERT_EQ(ident_hash(names[k].c_str(), 0, IDENT_LOOKUP, MSG_LONGJMP), entries[k]) << names[k];
    ASSERT_EQ(ident_hash(names[k].c_str(), 0, 0, MSG_LONGJMP), entries[k]);
    EXPECT_STREQ(entries[k]->name, names[k].c_str());
    EXPECT_EQ(entries[k]->length, static_cast<int32_t>(names[k].size()));
  }
}

TEST(IdentTable, Flags) {
  EXPECT_EQ(ident_hash("IDT_ABSENT", 0, IDENT_LOOKUP, MSG_LONGJMP), nullptr);
  EXPECT_EQ(ident_hash("IDT_ABSENT", 0, IDENT_LOOKUP, MSG_LONGJMP), nullptr) << "a lookup creates nothing";

  IdentEntry* upper = ident_hash("IDT_MIXED", 0, 0, MSG_LONGJMP);
  EXPECT_EQ(ident_hash("idt_Mixed", 0, IDENT_UPCASE, MSG_LONGJMP), upper);
  IdentEntry* folded = ident_hash("idt_folded", 0, IDENT_UPCASE, MSG_LONGJMP);
  EXPECT_STREQ(folded->name, "IDT_FOLDED");
  EXPECT_EQ(ident_hash("IDT_FOLDED", 0, IDENT_LOOKUP, MSG_LONGJMP), folded);

  static const char kept[] = "IDT_KEPT";
  IdentEntry* k = ident_hash(kept, 0, IDENT_KEEP_PTR, MSG_LONGJMP);
  EXPECT_EQ(k->name, kept);
  static char lower_kept[] = "idt_kept_low";
  IdentEntry* kl = ident_hash(lower_kept, 0, IDENT_KEEP_PTR | IDENT_UPCASE, MSG_LONGJMP);
  EXPECT_STREQ(kl->name, "IDT_KEPT_LOW") << "a folded name is always copied";
  EXPECT_NE(kl->name, lower_kept);

  IdentEntry* part = ident_hash("IDT_ABCDEF", 7, 0, MSG_LONGJMP);
  EXPECT_STREQ(part->name, "IDT_ABC");
  EXPECT_EQ(part->length, 7);
  EXPECT_EQ(ident_hash("IDT_ABC", 0, IDENT_LOOKUP, MSG_LONGJMP), part);
  EXPECT_EQ(ident_hash("IDT_ABCDEF", 0, IDENT_LOOKUP, MSG_LONGJMP), nullptr);
}

TEST(IdentTable, Binsrch) {
  const char* const table[] = {"AND", "BEGIN", "CASE", "OF", "ON_IOERROR", "OR"};
  for (int k = 0; k < 6; k++) EXPECT_EQ(binsrch(table[k], table, 6), k);
  EXPECT_EQ(binsrch("O", table, 6), -1);
  EXPECT_EQ(binsrch("ZZ", table, 6), -1);
  EXPECT_EQ(binsrch("AND", table, 0), -1);
}

struct Rec {
  IdentEntry* id;
  int payload;
};

class SearchTableTest : public VekTest {
 protected:
  void TearDown() override {
    if (table_) counting_free(table_);
    VekTest::TearDown();
  }
  SearchTable* table_ = nullptr;
};

TEST_F(SearchTableTest, InsertionKeepsNameOrderAndGrows) {
  std::vector<IdentEntry> ids(200);
  std::vector<std::string> names(200);
  std::vector<Rec> recs(200);
  for (int k = 0; k < 200; k++) {
    names[static_cast<size_t>(k)] = "N" + std::to_string(1000 + k);
    ids[static_cast<size_t>(k)] = IdentEntry{nullptr, names[static_cast<size_t>(k)].c_str(), 5};
    recs[static_cast<size_t>(k)] = Rec{&ids[static_cast<size_t>(k)], k};
  }
  std::vector<int> order(200);
  for (int k = 0; k < 200; k++) order[static_cast<size_t>(k)] = k;
  std::shuffle(order.begin(), order.end(), std::mt19937(7));
  for (int k : order) {
    int idx = binsrch_insert_ident(&recs[static_cast<size_t>(k)], &table_);
    ASSERT_GE(idx, 0);
    EXPECT_EQ(table_->entries[idx], &recs[static_cast<size_t>(k)]);
  }
  ASSERT_EQ(table_->count, 200u);
  EXPECT_EQ(table_->capacity, 240u) << "60, doubled as needed";
  EXPECT_EQ(table_->owned, 1u);
  for (int k = 0; k < 200; k++) EXPECT_EQ(table_->entries[k], &recs[static_cast<size_t>(k)]);

  // A record whose name is already there is not added; the existing index comes back.
  IdentEntry same{nullptr, "N1050", 5};
  Rec again{&same, -1};
  EXPECT_EQ(binsrch_insert_ident(&again, &table_), 50);
  EXPECT_EQ(table_->count, 200u);
  EXPECT_EQ(table_->entries[50], &recs[50]);

  // binsrch_ident finds by name, whether or not it is the same entry.
  EXPECT_EQ(binsrch_ident(&same, table_->entries, static_cast<int>(table_->count)), 50);
  IdentEntry absent{nullptr, "N0999", 5};
  EXPECT_EQ(binsrch_ident(&absent, table_->entries, static_cast<int>(table_->count)), -1);
}

}  // namespace
