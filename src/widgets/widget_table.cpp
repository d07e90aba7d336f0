// The identifier table, the record and event pools, the tree links and the queues.
#include "widgets/widget_table.h"

#include <algorithm>
#include <memory>
#include <vector>

#include "base/message.h"
#include "values/temps.h"

namespace {

constexpr int kRecordBlock = 20;
constexpr int kEventBlock = 25;
constexpr int32_t kIdMax = 0x7fffffff;

WidgetRec* chains[kWidgetChains];
int32_t id_counter = 0;
bool id_wrapped = false;
int live = 0;

std::vector<std::unique_ptr<WidgetRec[]>> record_blocks;
WidgetRec* free_records = nullptr;
std::vector<std::unique_ptr<WidgetEvent[]>> event_blocks;
WidgetEvent* free_events = nullptr;
std::vector<WidgetRec*> top_bases;  // in creation order: the order WIDGET_EVENT looks at them

int chain_of(int32_t id) { return static_cast<int>(static_cast<uint32_t>(id) % kWidgetChains); }

void release_uvalue(WidgetRec* w) {
  if (w->uvalue.type != TYP_UNDEF) delvar(&w->uvalue);
  w->uvalue = Variable{};
}

}  // namespace

WidgetRec* widget_chain_head(int32_t id) { return chains[chain_of(id)]; }

WidgetRec* widget_hash_find(int32_t id) {
  for (WidgetRec* w = chains[chain_of(id)]; w && w->id >= id; w = w->chain)
    if (w->id == id) return w;
  return nullptr;
}

void widget_hash_insert(WidgetRec* w) {
  WidgetRec** link = &chains[chain_of(w->id)];
  while (*link && (*link)->id > w->id) link = &(*link)->chain;
  w->chain = *link;
  *link = w;
}

void widget_hash_delete(WidgetRec* w) {
  for (WidgetRec** link = &chains[chain_of(w->id)]; *link; link = &(*link)->chain) {
    if (*link == w) {
      *link = w->chain;
      w->chain = nullptr;
      return;
    }
  }
  message(M_INTERNAL, 0, MSG_LONGJMP, "attempt to delete nonexistant widget from hash table");
}

int32_t widget_next_id() {
  for (int32_t tries = 0; tries < kIdMax; tries++) {
    if (id_counter == kIdMax) {
      id_counter = 0;
      id_wrapped = true;
    }
    int32_t id = ++id_counter;
    if (!id_wrapped || !widget_hash_find(id)) return id;
  }
  message(-369, 0, MSG_LONGJMP);
  return 0;
}

void widget_set_counter(int32_t value, bool wrapped) {
  id_counter = value;
  id_wrapped = wrapped;
}

WidgetRec* verify_widget_rec(int32_t id) {
  WidgetRec* w = id > 0 ? widget_hash_find(id) : nullptr;
  if (!w || (w->flags & WF_DYING)) message(-353, 0, MSG_LONGJMP, id);
  return w;
}

WidgetRec* new_widget_rec(WidgetRec* parent, const char* event_name, const Variable* uvalue, int type) {
  int32_t id = widget_next_id();
  if (!free_records) {
    auto block = std::unique_ptr<WidgetRec[]>(new (std::nothrow) WidgetRec[kRecordBlock]);
    if (!block) message(M_NO_MEMORY, 0, MSG_LONGJMP, "getting widget record memory");
    for (int i = 0; i < kRecordBlock; i++) {
      block[i].chain = free_records;
      free_records = &block[i];
    }
    record_blocks.push_back(std::move(block));
  }
  WidgetRec* w = free_records;
  free_records = w->chain;
  *w = WidgetRec{};
  w->type = static_cast<uint16_t>(type);
  w->flags = WF_SENSITIVE | WF_MANAGED;
  if (event_name) w->event_name = event_name;
  if (uvalue && uvalue->type != TYP_UNDEF) var_copy(const_cast<Variable*>(uvalue), &w->uvalue);
  w->parent = parent;
  if (parent) {
    w->top = parent->top;
    WidgetRec** link = &parent->child;
    while (*link) link = &(*link)->sibling;
    *link = w;
  } else {
    w->top = w;
    top_bases.push_back(w);
  }
  w->id = id;
  widget_hash_insert(w);
  live++;
  return w;
}

void free_widget_rec(WidgetRec* w) {
  widget_hash_delete(w);
  if (w->parent) {
    for (WidgetRec** link = &w->parent->child; *link; link = &(*link)->sibling)
      if (*link == w) {
        *link = w->sibling;
        break;
      }
  } else {
    top_bases.erase(std::remove(top_bases.begin(), top_bases.end(), w), top_bases.end());
    while (WidgetEvent* e = widget_take_event(w)) widget_free_event_rec(e);
  }
  // Events of this widget waiting in its tree's queue go with it.
  if (w->parent && w->top) {
    WidgetEvent** link = &w->top->queue_head;
    WidgetEvent* last = nullptr;
    while (*link) {
      if ((*link)->target == w->id) {
        WidgetEvent* e = *link;
        *link = e->next;
        widget_free_event_rec(e);
      } else {
        last = *link;
        link = &(*link)->next;
      }
    }
    w->top->queue_tail = last;
  }
  release_uvalue(w);
  w->event_name.clear();
  w->value.clear();
  w->kill_notify.clear();
  w->notify_realize.clear();
  w->func_get_value.clear();
  w->pro_set_value.clear();
  w->chain = free_records;
  free_records = w;
  live--;
}

int widget_live_count() { return live; }

WidgetEvent* new_widget_event_rec(WidgetRec* w, bool coalesce, int kind, int subtype) {
  WidgetRec* top = w->top;
  if (coalesce) {
    // Only the widget's latest event may take the update: an earlier one would move the
    // new state ahead of the widget's events in between.
    WidgetEvent* last = nullptr;
    for (WidgetEvent* e = top->queue_head; e; e = e->next)
      if (e->target == w->id) last = e;
    if (last && last->kind == kind && (subtype < 0 || last->value[0] == subtype)) return last;
  }
  if (!free_events) {
    auto block = std::unique_ptr<WidgetEvent[]>(new (std::nothrow) WidgetEvent[kEventBlock]);
    if (!block) message(M_NO_MEMORY, 0, MSG_LONGJMP, "getting widget event memory");
    for (int i = 0; i < kEventBlock; i++) {
      block[i].next = free_events;
      free_events = &block[i];
    }
    event_blocks.push_back(std::move(block));
  }
  WidgetEvent* e = free_events;
  free_events = e->next;
  *e = WidgetEvent{};
  e->target = w->id;
  e->kind = static_cast<uint16_t>(kind);
  if (top->queue_tail)
    top->queue_tail->next = e;
  else
    top->queue_head = e;
  top->queue_tail = e;
  return e;
}

WidgetEvent* widget_take_event(WidgetRec* top) {
  if (!top) {
    for (WidgetRec* t : top_bases)
      if (t->queue_head) return widget_take_event(t);
    return nullptr;
  }
  WidgetEvent* e = top->queue_head;
  if (!e) return nullptr;
  top->queue_head = e->next;
  if (!top->queue_head) top->queue_tail = nullptr;
  e->next = nullptr;
  return e;
}

void widget_free_event_rec(WidgetEvent* e) {
  e->str.clear();
  e->str.shrink_to_fit();
  if (e->payload.type != TYP_UNDEF) delvar(&e->payload);
  e->payload = Variable{};
  e->next = free_events;
  free_events = e;
}

const std::vector<WidgetRec*>& widget_top_bases() { return top_bases; }
