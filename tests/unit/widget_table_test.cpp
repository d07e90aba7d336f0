// The widget identifier table, identifier counter, record pool and event queues.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "base/message.h"
#include "test_support.h"
#include "widgets/widget_table.h"

namespace {

constexpr int32_t kMax = 0x7fffffff;

class WidgetTableTest : public VekTest {
 protected:
  void TearDown() override {
    // Children before their parents.
    for (auto it = made_.rbegin(); it != made_.rend(); ++it)
      if (WidgetRec* w = widget_hash_find(*it)) free_widget_rec(w);
    widget_set_counter(0, false);
    EXPECT_EQ(widget_live_count(), 0);
    VekTest::TearDown();
  }
  // A top-level base (or a child of parent) whose identifier will be id.
  WidgetRec* make(int32_t id, WidgetRec* parent = nullptr, bool wrapped = false) {
    widget_set_counter(id - 1, wrapped);
    WidgetRec* w = new_widget_rec(parent, "", nullptr, parent ? WT_BUTTON : WT_BASE);
    made_.push_back(w->id);
    return w;
  }
  std::vector<int32_t> chain(int32_t id) {
    std::vector<int32_t> out;
    for (WidgetRec* w = widget_chain_head(id); w; w = w->chain) out.push_back(w->id);
    return out;
  }
  std::vector<int32_t> made_;
};

TEST_F(WidgetTableTest, OneChainKeepsDecreasingIdentifiers) {
  // All of these fall into chain 5; made out of order.
  for (int k : {3, 1, 7, 5, 0}) make(5 + k * kWidgetChains);
  EXPECT_EQ(chain(5), (std::vector<int32_t>{5 + 7 * 421, 5 + 5 * 421, 5 + 3 * 421, 5 + 421, 5}));
  for (int k : {3, 1, 7, 5, 0}) {
    WidgetRec* w = widget_hash_find(5 + k * kWidgetChains);
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(w->id, 5 + k * kWidgetChains);
  }
  // A neighbour chain is untouched; an identifier between two present ones is absent.
  EXPECT_TRUE(chain(6).empty());
  EXPECT_EQ(widget_hash_find(5 + 2 * kWidgetChains), nullptr);
  // Taking one out of the middle keeps the others found.
  free_widget_rec(widget_hash_find(5 + 3 * kWidgetChains));
  EXPECT_EQ(chain(5), (std::vector<int32_t>{5 + 7 * 421, 5 + 5 * 421, 5 + 421, 5}));
  EXPECT_EQ(widget_hash_find(5 + 3 * kWidgetChains), nullptr);
  EXPECT_NE(widget_hash_find(5 + 421), nullptr);
}

TEST_F(WidgetTableTest, DestroyedIdentifiersAreInvalid) {
  WidgetRec* b = make(40);
  WidgetRec* c = make(41, b);
  EXPECT_EQ(verify_widget_rec(41), c);
  free_widget_rec(c);
  EXPECT_EQ(error_code_of([] { verify_widget_rec(41); }), -353);
  EXPECT_EQ(error_code_of([] { verify_widget_rec(0); }), -353);
  EXPECT_EQ(error_code_of([] { verify_widget_rec(-40); }), -353);
  EXPECT_EQ(b->child, nullptr);
  // A record the table does not hold cannot be deleted from it.
  WidgetRec stray{};
  stray.id = 40 + kWidgetChains;
  EXPECT_EQ(error_code_of([&] { widget_hash_delete(&stray); }), M_INTERNAL);
  EXPECT_EQ(widget_hash_find(40), b);
}

TEST_F(WidgetTableTest, CounterWrapsAndSkipsIdentifiersInUse) {
  make(1);
  make(2);
  make(4);
  WidgetRec* last = make(kMax);
  EXPECT_EQ(last->id, kMax);
  // After the largest identifier the counter starts again, passing over 1 and 2.
  int32_t next = widget_next_id();
  EXPECT_EQ(next, 3);
  widget_set_counter(next, true);
  EXPECT_EQ(widget_next_id(), 5);
  // A freed identifier is handed out again once the counter comes back to it.
  free_widget_rec(widget_hash_find(2));
  widget_set_counter(1, true);
  EXPECT_EQ(widget_next_id(), 2);
  // Before the wrap the counter does not look at the table.
  widget_set_counter(0, false);
  EXPECT_EQ(widget_next_id(), 1);
}

TEST_F(WidgetTableTest, PoolRefillsAndTreeLinks) {
  WidgetRec* top = make(100);
  // More records than two refills of the pool.
  std::vector<WidgetRec*> kids;
  for (int i = 0; i < 45; i++) kids.push_back(make(101 + i, top));
  EXPECT_EQ(widget_live_count(), 46);
  // Children in creation order along the sibling links, all of the same tree.
  int n = 0;
  for (WidgetRec* c = top->child; c; c = c->sibling, n++) {
    EXPECT_EQ(c->id, 101 + n);
    EXPECT_EQ(c->top, top);
    EXPECT_EQ(c->parent, top);
  }
  EXPECT_EQ(n, 45);
  free_widget_rec(kids[20]);
  n = 0;
  for (WidgetRec* c = top->child; c; c = c->sibling) n++;
  EXPECT_EQ(n, 44);
  // The freed record is the next one handed out.
  WidgetRec* again = make(500, top);
  EXPECT_EQ(again, kids[20]);
}

TEST_F(WidgetTableTest, EventQueuesCoalesceAndFollowTheirWidgets) {
  WidgetRec* top = make(10);
  WidgetRec* a = make(11, top);
  WidgetRec* b = make(12, top);
  WidgetEvent* e1 = new_widget_event_rec(a, false, EV_SLIDER);
  e1->value[0] = 1;
  new_widget_event_rec(b, false, EV_BUTTON)->value[0] = 2;
  // A coalesced event of the same widget and kind updates the waiting one.
  WidgetEvent* e3 = new_widget_event_rec(a, true, EV_SLIDER);
  EXPECT_EQ(e3, e1);
  e3->value[0] = 3;
  new_widget_event_rec(a, false, EV_SLIDER)->value[0] = 4;
  // A widget that goes takes its waiting events along; the queue stays whole.
  free_widget_rec(b);
  new_widget_event_rec(a, false, EV_SLIDER)->value[0] = 5;
  std::vector<int32_t> seen;
  while (WidgetEvent* e = widget_take_event(top)) {
    EXPECT_EQ(e->target, 11);
    seen.push_back(e->value[0]);
    widget_free_event_rec(e);
  }
  EXPECT_EQ(seen, (std::vector<int32_t>{3, 4, 5}));
  EXPECT_EQ(widget_take_event(nullptr), nullptr);
  // Motion, press, motion: the second motion may not join the first ahead of the press,
  // and with a subtype a press is not a motion to update.
  new_widget_event_rec(a, true, EV_DRAW, 2)->value[0] = 2;
  new_widget_event_rec(a, false, EV_DRAW)->value[0] = 0;
  new_widget_event_rec(a, true, EV_DRAW, 2)->value[0] = 2;
  new_widget_event_rec(a, true, EV_DRAW, 2)->value[0] = 2;
  seen.clear();
  while (WidgetEvent* e = widget_take_event(top)) {
    seen.push_back(e->value[0]);
    widget_free_event_rec(e);
  }
  EXPECT_EQ(seen, (std::vector<int32_t>{2, 0, 2}));
}

}  // namespace
