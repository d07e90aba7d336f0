// HANDLE_CREATE (also HANDLE_NEW), HANDLE_INFO, HANDLE_VALUE, HANDLE_MOVE and
// HANDLE_FREE: argument and keyword decoding in front of the handle tree
// (values/handles.h).
#include <algorithm>
#include <vector>

#include "base/message.h"
#include "interp/routines.h"
#include "values/convert.h"
#include "values/handles.h"
#include "values/temps.h"

namespace {

// Position keywords shared by HANDLE_CREATE and HANDLE_MOVE: each ORs its mode into the
// target; a combination outside 0..2 counts as the default.
constexpr uint16_t kFirstChild = KW_BITFLAG | KW_CLEAR | HANDLE_FIRST_CHILD;
constexpr uint16_t kSibling = KW_BITFLAG | KW_CLEAR | HANDLE_SIBLING;

int checked_mode(uint32_t bits) { return bits <= HANDLE_SIBLING ? static_cast<int>(bits) : HANDLE_LAST_CHILD; }

HandleRec* named_handle(const Variable* v) { return handle_find(long_scalar(v)); }

// HANDLE_CREATE([Reference] [, /FIRST_CHILD | /SIBLING | /PRIOR_SIBLING] [, VALUE=v]
// [, /NO_COPY]): a new handle, last child of Reference (or top level) by default.
Variable* ur_handle_create(int argc, Variable* argv[], KwNames argk) {
  static uint32_t mode_bits, no_copy;
  static int32_t value_given;
  static Variable* value;
  static const KwEntry kKeywords[] = {
      {"FIRST_CHILD", 0, 1, kFirstChild, nullptr, &mode_bits},
      {"NO_COPY", 0, 1, KW_BITFLAG | KW_CLEAR | 1, nullptr, &no_copy},
      {"PRIOR_SIBLING", 0, 1, kSibling, nullptr, &mode_bits},
      {"SIBLING", 0, 1, kSibling, nullptr, &mode_bits},
      {"VALUE", 0, 1, KW_OUTPUT | KW_CLEAR, &value_given, &value},
      {nullptr, 0, 0, 0, nullptr, nullptr},
  };
  keyword_cleanup(KW_CLEANUP_OPEN);
  Variable* pos[1] = {nullptr};
  const int n = get_kw_params(argc, argv, argk, kKeywords, pos, 1);
  int mode = checked_mode(mode_bits);
  HandleRec* ref = n ? named_handle(pos[0]) : nullptr;
  if (mode == HANDLE_SIBLING && ref && handle_top_level(ref))
    message(M_HANDLE_TOP_SIBLING, 0, MSG_LONGJMP, varname(pos[0]));
  HandleRec* h = handle_new(ref, mode);
  // An undefined VALUE leaves the handle empty, as HANDLE_VALUE, /SET does.
  if (value_given && value && value->type != TYP_UNDEF) handle_store(h, value, no_copy);
  Variable* result = make_long_temp(h->id);
  keyword_cleanup(KW_CLEANUP_CLOSE);
  return result;
}

// HANDLE_VALUE, Handle, Value [, /SET] [, /NO_COPY]: reads the handle's value into the
// variable Value, or with SET stores Value in the handle. NO_COPY moves instead of
// copying, leaving the source empty.
void ur_handle_value(int argc, Variable* argv[], KwNames argk) {
  static uint32_t set, no_copy;
  static const KwEntry kKeywords[] = {
      {"NO_COPY", 0, 1, KW_BITFLAG | KW_CLEAR | 1, nullptr, &no_copy},
      {"SET", 0, 1, KW_BITFLAG | KW_CLEAR | 1, nullptr, &set},
      {nullptr, 0, 0, 0, nullptr, nullptr},
  };
  Variable* pos[2] = {nullptr, nullptr};
  get_kw_params(argc, argv, argk, kKeywords, pos, 1);
  HandleRec* h = named_handle(pos[0]);
  Variable* v = pos[1];
  if (set) {
    if (v->type == TYP_UNDEF)
      delvar(&h->value);
    else
      handle_store(h, v, no_copy);
    return;
  }
  const int32_t zero = 0;
  store_scalar(v, TYP_LONG, &zero);
  if (h->value.type == TYP_UNDEF)
    delvar(v);
  else
    var_copy_strip(&h->value, v, no_copy ? 1 : 0);
}

// HANDLE_MOVE, Static, Moving [, /FIRST_CHILD | /SIBLING | /PRIOR_SIBLING]: moves Moving
// with its subtree relative to Static (0: the top level).
void ur_handle_move(int argc, Variable* argv[], KwNames argk) {
  static uint32_t mode_bits;
  static const KwEntry kKeywords[] = {
      {"FIRST_CHILD", 0, 1, kFirstChild, nullptr, &mode_bits},
      {"PRIOR_SIBLING", 0, 1, kSibling, nullptr, &mode_bits},
      {"SIBLING", 0, 1, kSibling, nullptr, &mode_bits},
      {nullptr, 0, 0, 0, nullptr, nullptr},
  };
  Variable* pos[2] = {nullptr, nullptr};
  get_kw_params(argc, argv, argk, kKeywords, pos, 1);
  const int mode = checked_mode(mode_bits);
  const int32_t static_id = long_scalar(pos[0]);
  HandleRec* ref = static_id ? handle_find(static_id) : nullptr;
  HandleRec* moving = named_handle(pos[1]);
  if (mode == HANDLE_SIBLING && ref && handle_top_level(ref))
    message(M_HANDLE_TOP_SIBLING, 0, MSG_LONGJMP, varname(pos[0]));
  // Static inside Moving's subtree, Moving itself included, would cut the subtree off
  // the tree into a cycle.
  if (ref && handle_within(ref, moving))
    message(M_HANDLE_STATIC_CHILD, 0, MSG_LONGJMP, varname(pos[0]), varname(pos[1]));
  handle_relink(moving, ref, mode);
}

// HANDLE_FREE, Handle: frees the handle, everything below it, and their values.
void ur_handle_free(int, Variable* argv[], KwNames) { handle_free(named_handle(argv[0])); }

// HANDLE_INFO(Handle [, /VALID_ID | /PARENT | /FIRST_CHILD | /SIBLING | /NUM_CHILDREN]):
// for each identifier of Handle (a scalar or an array), whether it names a handle
// (VALID_ID, the default: 1 or 0), or the identifier of its parent, first child or next
// sibling (0 for none; the top level's parent is 0), or its number of children. The
// result is LONG, of Handle's shape; every query but VALID_ID needs valid identifiers.
Variable* ur_handle_info(int argc, Variable* argv[], KwNames argk) {
  enum : uint32_t { kValid = 1, kParent = 2, kFirst = 4, kSib = 8, kCount = 16 };
  static uint32_t query;
  static const KwEntry kKeywords[] = {
      {"FIRST_CHILD", 0, 1, KW_BITFLAG | KW_CLEAR | kFirst, nullptr, &query},
      {"NUM_CHILDREN", 0, 1, KW_BITFLAG | KW_CLEAR | kCount, nullptr, &query},
      {"PARENT", 0, 1, KW_BITFLAG | KW_CLEAR | kParent, nullptr, &query},
      {"SIBLING", 0, 1, KW_BITFLAG | KW_CLEAR | kSib, nullptr, &query},
      {"VALID_ID", 0, 1, KW_BITFLAG | KW_CLEAR | kValid, nullptr, &query},
      {nullptr, 0, 0, 0, nullptr, nullptr},
  };
  Variable* pos[1] = {nullptr};
  get_kw_params(argc, argv, argk, kKeywords, pos, 1);
  Variable* x = pos[0];
  if (x->flags & FLAG_FILE_OR_STRUCT) var_error(M_NO_FILE_STRUCT, x, MSG_LONGJMP);
  if (x->type == TYP_UNDEF) var_error(M_UNDEFINED, x, MSG_LONGJMP);
  if (query & (query - 1)) message(M_CONFLICTING_KW, 0, MSG_LONGJMP);
  if (!query) query = kValid;

  const uint32_t n = x->n_elts();
  std::vector<int32_t> ids(n);
  convert(x->data_ptr(), ids.data(), static_cast<int32_t>(n), x->type, TYP_LONG);
  auto id_of = [](const HandleRec* h) { return h && h != &handle_root ? h->id : 0; };
  for (int32_t& id : ids) {
    if (query == kValid) {
      id = id > 0 && handle_lookup(id) ? 1 : 0;
      continue;
    }
    const HandleRec* h = handle_find(id);
    switch (query) {
      case kParent: id = id_of(h->parent); break;
      case kFirst: id = id_of(h->first_child); break;
      case kSib: id = id_of(h->sibling); break;
      default: {
        int32_t count = 0;
        for (const HandleRec* c = h->first_child; c; c = c->sibling) count++;
        id = count;
      }
    }
  }
  if (x->is_scalar()) return make_long_temp(ids[0]);
  Variable* r = gettmp();
  r->type = TYP_LONG;
  make_array_like(x->value.s.arr, r, type_size[TYP_LONG]);
  std::copy(ids.begin(), ids.end(), elems<int32_t>(r));
  return r;
}

}  // namespace

// Sorted by name.
extern const RoutineEntry handle_functions[] = {
    {ur_handle_create, "HANDLE_CREATE", 0, 1, true},
    {ur_handle_info, "HANDLE_INFO", 1, 1, true},
    {ur_handle_create, "HANDLE_NEW", 0, 1, true},
};
extern const int n_handle_functions = sizeof handle_functions / sizeof handle_functions[0];

extern const RoutineEntry handle_procedures[] = {
    {ur_handle_free, "HANDLE_FREE", 1, 1},
    {ur_handle_move, "HANDLE_MOVE", 2, 2, true},
    {ur_handle_value, "HANDLE_VALUE", 2, 2, true},
};
extern const int n_handle_procedures = sizeof handle_procedures / sizeof handle_procedures[0];
