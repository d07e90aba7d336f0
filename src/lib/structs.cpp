// N_TAGS, TAG_NAMES and CREATE_STRUCT: structure queries and the run-time way of
// building a structure from names and values.
#include "lib/structs.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "base/message.h"
#include "values/convert.h"
#include "values/strings.h"
#include "values/struct.h"
#include "values/temps.h"

namespace {

constexpr int kMaxCreateTags = 126;

bool is_structure(const Variable* v) { return (v->flags & FLAG_STRUCT) && !(v->flags & FLAG_FILE); }

// Upper-case tag identifier for a name given as a string.
IdentEntry* tag_ident(const StringDesc& s, const Variable* owner) {
  if (!s.length) var_error(M_NULL_STRING, owner, MSG_LONGJMP);
  return ident_hash(s.chars, s.length, IDENT_UPCASE, MSG_LONGJMP);
}

}  // namespace

// N_TAGS(x [, /LENGTH]): tag count or record length of a structure, 0 otherwise.
Variable* ur_n_tags(int argc, Variable* argv[], KwNames argk) {
  static int32_t length;
  static const KwEntry kKeywords[] = {
      {"LENGTH", TYP_LONG, 1, KW_BITFLAG | KW_CLEAR | 1, nullptr, &length},
      {nullptr, 0, 0, 0, nullptr, nullptr},
  };
  std::vector<Variable*> pos(static_cast<size_t>(argc) + 1);
  get_kw_params(argc, argv, argk, kKeywords, pos.data(), 1);
  const Variable* x = pos[0];
  int32_t n = 0;
  if (is_structure(x)) n = length ? x->value.s.sdef->length : x->value.s.sdef->n_tags;
  return make_long_temp(n);
}

// TAG_NAMES(x [, /STRUCTURE_NAME]): the tag names in order, or the structure's name.
Variable* ur_tag_names(int argc, Variable* argv[], KwNames argk) {
  static int32_t structure_name;
  static const KwEntry kKeywords[] = {
      {"STRUCTURE_NAME", TYP_LONG, 1, KW_BITFLAG | KW_CLEAR | 1, nullptr, &structure_name},
      {nullptr, 0, 0, 0, nullptr, nullptr},
  };
  std::vector<Variable*> pos(static_cast<size_t>(argc) + 1);
  get_kw_params(argc, argv, argk, kKeywords, pos.data(), 1);
  const Variable* x = pos[0];
  if (!is_structure(x)) var_error(M_NOT_STRUCT, x, MSG_LONGJMP);
  const StructDef* sd = x->value.s.sdef;
  if (structure_name) return ret_str_as_STRING(sd->name ? sd->name->name : "");
  if (sd->n_tags == 0) return ret_str_as_STRING("");
  int32_t n = sd->n_tags;
  Variable* res = make_temp_array_of(TYP_STRING, 1, &n);
  auto* s = reinterpret_cast<StringDesc*>(res->value.s.arr->data);
  for (int i = 0; i < n; i++) str_store(&s[i], sd->tags[i].tag->ident->name);
  return res;
}

// CREATE_STRUCT(args... [, NAME=string] [, REMOVE=indices]): string arguments name the
// tags that the following arguments fill; a one-element structure contributes all of
// its tags.
Variable* ur_create_struct(int argc, Variable* argv[], KwNames argk) {
  static int32_t name_given, remove_given;
  static StringDesc name;
  static int32_t remove_idx[kMaxCreateTags];
  static KwArray remove{remove_idx, 1, kMaxCreateTags, 0};
  static const KwEntry kKeywords[] = {
      {"NAME", TYP_STRING, 1, KW_CLEAR, &name_given, &name},
      {"REMOVE", TYP_LONG, 1, KW_ARRAY, &remove_given, &remove},
      {nullptr, 0, 0, 0, nullptr, nullptr},
  };
  std::vector<Variable*> pos(static_cast<size_t>(argc) + 1);
  const int n = get_kw_params(argc, argv, argk, kKeywords, pos.data(), 1);

  std::vector<IdentEntry*> tags;
  std::vector<Variable*> values;
  std::vector<Variable*> made;  // temporaries of copied tag values
  struct Release {
    std::vector<Variable*>& v;
    ~Release() {
      for (Variable* t : v)
        if (t->flags & FLAG_TEMPORARY) deltmp(t);
    }
  } release{made};
  auto add = [&](IdentEntry* tag, Variable* value) {
    if (tags.size() == kMaxCreateTags) message(M_TOO_MANY_TAGS, 0, MSG_LONGJMP);
    tags.push_back(tag);
    values.push_back(value);
  };

  for (int i = 0; i < n; i++) {
    Variable* a = pos[i];
    if (a->type == TYP_UNDEF) var_error(M_UNDEFINED, a, MSG_LONGJMP);
    if (a->type == TYP_STRING && !(a->flags & FLAG_FILE)) {
      const auto* names = static_cast<const StringDesc*>(a->data_ptr());
      const uint32_t count = a->n_elts();
      for (uint32_t k = 0; k < count; k++) {
        IdentEntry* tag = tag_ident(names[k], a);
        if (i + 1 >= n) message(M_INCORRECT_ARGS, 0, MSG_LONGJMP);
        add(tag, pos[++i]);
      }
    } else if (is_structure(a)) {
      if (a->value.s.arr->n_elts > 1) var_error(M_NOT_SCALAR, a, MSG_LONGJMP);
      const StructDef* sd = a->value.s.sdef;
      for (int t = 0; t < sd->n_tags; t++) {
        made.push_back(temp_from_tag(a, t));
        add(sd->tags[t].tag->ident, made.back());
      }
    } else {
      message(M_STRUCT_CONVERT, 0, MSG_LONGJMP, "tagname to");
    }
  }

  if (remove_given) {
    std::vector<bool> drop(tags.size(), false);
    for (int k = 0; k < remove.count; k++) {
      int32_t r = remove_idx[k];
      if (r < 0 || static_cast<size_t>(r) >= tags.size())
        message(M_TAG_NUMBER, 0, MSG_LONGJMP, "CREATE_STRUCT", "anonymous");
      drop[static_cast<size_t>(r)] = true;
    }
    size_t out = 0;
    for (size_t k = 0; k < tags.size(); k++) {
      if (drop[k]) continue;
      tags[out] = tags[k];
      values[out++] = values[k];
    }
    tags.resize(out);
    values.resize(out);
  }

  IdentEntry* struct_name = nullptr;
  if (name_given && name.length) struct_name = ident_hash(name.chars, name.length, IDENT_UPCASE, MSG_LONGJMP);
  const int nt = static_cast<int>(tags.size());
  values.push_back(nullptr);  // make_struc reads the values ending at `top`; keep it in range
  Variable** top = nt ? &values[static_cast<size_t>(nt) - 1] : &values[0];
  return make_struc(top, nt, struct_name, tags.data(), false, true);
}

// Sorted by name.
const RoutineEntry struct_functions[] = {
    {ur_create_struct, "CREATE_STRUCT", 0, 63, true},
    {ur_n_tags, "N_TAGS", 1, 1, true},
    {ur_tag_names, "TAG_NAMES", 1, 1, true},
};
const int n_struct_functions = sizeof struct_functions / sizeof struct_functions[0];
