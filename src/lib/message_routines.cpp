// MESSAGE, STRMESSAGE, CHECK_MATH.
#include "lib/message_routines.h"

#include <string>

#include "base/message.h"
#include "values/convert.h"
#include "values/strings.h"

namespace {

constexpr int kContinue = 1, kInformational = 2, kIoerror = 4, kNoname = 8, kNoprefix = 16, kNoprint = 32,
              kTraceback = 64;
int32_t kw_message = 0;
KwEntry message_keywords[] = {
    {"CONTINUE", TYP_LONG, 1, KW_BITFLAG | KW_CLEAR | kContinue, nullptr, &kw_message},
    {"INFORMATIONAL", TYP_LONG, 1, KW_BITFLAG | KW_CLEAR | kInformational, nullptr, &kw_message},
    {"IOERROR", TYP_LONG, 1, KW_BITFLAG | KW_CLEAR | kIoerror, nullptr, &kw_message},
    {"NONAME", TYP_LONG, 1, KW_BITFLAG | KW_CLEAR | kNoname, nullptr, &kw_message},
    {"NOPREFIX", TYP_LONG, 1, KW_BITFLAG | KW_CLEAR | kNoprefix, nullptr, &kw_message},
    {"NOPRINT", TYP_LONG, 1, KW_BITFLAG | KW_CLEAR | kNoprint, nullptr, &kw_message},
    {"TRACEBACK", TYP_LONG, 1, KW_BITFLAG | KW_CLEAR | kTraceback, nullptr, &kw_message},
    {nullptr, 0, 0, 0, nullptr, nullptr},
};

int32_t kw_trap_present = 0;
int32_t kw_trap = 0;
KwEntry checkmath_keywords[] = {
    {"TRAP", TYP_LONG, 1, KW_CLEAR, &kw_trap_present, &kw_trap},
    {nullptr, 0, 0, 0, nullptr, nullptr},
};

}  // namespace

void user_message(int argc, Variable* argv[], KwNames argk) {
  Variable* text_var = argv[0];
  int flags = 0;
  if (argk) {
    Variable* positional[1] = {nullptr};
    if (get_kw_params(argc, argv, argk, message_keywords, positional, 1) != 1)
      message(M_INCORRECT_ARGS, 0, MSG_LONGJMP);
    text_var = positional[0];
    flags = kw_message;
  }
  if (text_var->type != TYP_STRING) var_error(M_NEED_STRING, text_var, MSG_LONGJMP);
  if (!text_var->is_scalar()) var_error(M_NOT_SCALAR, text_var, MSG_LONGJMP);
  const StringDesc& s = text_var->value.str;
  std::string text(str_chars(s), s.length < MAX_USER_MESSAGE ? s.length : MAX_USER_MESSAGE);

  int selected = flags & (kContinue | kInformational | kIoerror);
  if (selected & (selected - 1)) message(M_CONFLICTING_KW, 0, MSG_LONGJMP);
  int action = MSG_LONGJMP;
  if (flags & kContinue) action = MSG_CONTINUE;
  if (flags & kInformational) action = MSG_INFO | MSG_QUIET;
  if (flags & kIoerror) action = MSG_IOERROR;
  if (flags & kNoprint) action |= MSG_NOPRINT;
  if (flags & kNoprefix) action |= MSG_NOPREFIX;
  if (!(flags & kTraceback)) action |= MSG_NOTRACEBACK;

  if (flags & kNoname) {
    message(M_GENERIC, 0, action, text.c_str());
  } else {
    const char* routine = message_hooks.current_routine ? message_hooks.current_routine() : nullptr;
    message(M_NAMED_TEXT, 0, action, routine ? routine : "$MAIN$", text.c_str());
  }
}

Variable* strmessage(int, Variable* argv[], KwNames) {
  return ret_str_as_STRING(strmessage_text(long_scalar(argv[0])));
}

Variable* ur_checkmath(int argc, Variable* argv[], KwNames argk) {
  Variable* positional[2] = {nullptr, nullptr};
  int n = argc;
  if (argk) {
    n = get_kw_params(argc, argv, argk, checkmath_keywords, positional, 1);
    if (kw_trap_present) trap_enable(kw_trap);
  } else {
    for (int i = 0; i < argc && i < 2; i++) positional[i] = argv[i];
  }
  bool print = n >= 1 && double_scalar(positional[0]) != 0;
  int mode = 0;
  if (n >= 2) mode = double_scalar(positional[1]) != 0 ? 2 : 1;
  return make_long_temp(check_fpe(print, 0, mode, 0));
}

const RoutineEntry message_functions[] = {
    {ur_checkmath, "CHECK_MATH", 0, 2, true},
    {strmessage, "STRMESSAGE", 1, 1},
};
const int n_message_functions = sizeof message_functions / sizeof message_functions[0];

const RoutineEntry message_procedures[] = {
    {user_message, "MESSAGE", 1, 1, true},
};
const int n_message_procedures = sizeof message_procedures / sizeof message_procedures[0];
