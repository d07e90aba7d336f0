// User routine calls on hand-assembled routines: binding by reference and by value,
// keyword formals, recursion with FOR-loop state, CATCH, ON_ERROR levels and the
// recursion limit.
#include "interp_support.h"

namespace {

const RoutineEntry* proc(const char* name) { return find_entry(frame_procedures, n_frame_procedures, name); }
const RoutineEntry* func(const char* name) { return find_entry(frame_functions, n_frame_functions, name); }

class FramesTest : public InterpTest {};

// PRO SET5, a : a = 5 : END
struct Set5 : Routine {
  Set5() : Routine("SET5", {""}, 1, false) {
    line(1);
    lng(5);
    param(0);
    op(OP_STORE);
    op(OP_IMPLICIT_RETURN);
    op(OP_END);
  }
};

TEST_F(FramesTest, NamedArgumentsPassByReferenceExpressionsByValue) {
  Set5 p;
  Asm a;
  a.line(1);
  a.lng(1);
  a.store_local(0);
  a.line(2);
  a.local(0);
  a.call(OP_CALL_USERPRO, &p.cb, 1);
  a.line(3);
  a.lng(1);
  a.store_local(1);
  a.line(4);
  a.local(1);
  a.lng(0);
  a.op(OP_ADD);
  a.call(OP_CALL_USERPRO, &p.cb, 1);
  a.op(OP_END);
  EXPECT_EQ(run(a), nullptr);
  EXPECT_EQ(var(0)->value.l, 5) << "a named variable is changed";
  EXPECT_EQ(var(1)->value.l, 1) << "an expression's copy is changed, not the variable";
  EXPECT_EQ(curr_frame, main_frame);
  EXPECT_FALSE(p.cb.flags & CB_ACTIVE);
}

TEST_F(FramesTest, CallMismatchesAreReported) {
  Set5 p;
  struct Case {
    uint8_t op;
    int argc;
    int expect;
  } cases[] = {{OP_CALL_USERPRO, 2, M_TOO_MANY_PARAMS}, {OP_CALL_USERFUN, 1, M_PROC_FUN_MISMATCH}};
  for (auto& c : cases) {
    Asm a;
    a.line(1);
    for (int i = 0; i < c.argc; i++) a.lng(i);
    a.call(c.op, &p.cb, c.argc);
    if (c.op == OP_CALL_USERFUN) a.op(OP_POP);
    a.op(OP_END);
    EXPECT_NE(run(a), nullptr);
    EXPECT_EQ(error_code, c.expect);
    EXPECT_EQ(curr_frame, main_frame);
    EXPECT_EQ(temp_list_handler(3), 0);
  }
  Routine never("NEVER_COMPILED", {}, 0, false);
  free_code_area(&never.cb);
  Asm a;
  a.line(1);
  a.call(OP_CALL_USERPRO, &never.cb, 0);
  a.op(OP_END);
  EXPECT_NE(run(a), nullptr);
  EXPECT_EQ(error_code, M_UNDEFINED_ROUTINE);
}

// PRO KW, a, KEYWORD=k, OTHER=o : a = N_PARAMS() : k = 7 : END
struct KwProc : Routine {
  explicit KwProc(const std::vector<std::string>& formals) : Routine("KW", formals, 3, false) {
    line(1);
    call(OP_CALL_SYSFUN, func("N_PARAMS"), 0);
    param(0);
    op(OP_STORE);
    line(2);
    lng(7);
    param(1);
    op(OP_STORE);
    op(OP_IMPLICIT_RETURN);
    op(OP_END);
  }
};

int run_kw_call(InterpTest* t, Routine& r, const std::vector<std::string>& names) {
  Asm a;
  a.line(1);
  for (size_t i = 0; i < names.size(); i++) a.local(static_cast<int>(i));
  a.call(OP_CALL_USERPRO, &r.cb, static_cast<int>(names.size()), names);
  a.op(OP_END);
  error_code = 0;
  (void)t;
  interpreter(a.code(), 1, 0, nullptr);
  return error_code;
}

TEST_F(FramesTest, KeywordsBindByUniqueAbbreviation) {
  KwProc p({"", "KEYWORD", "OTHER"});
  EXPECT_EQ(run_kw_call(this, p, {"", "KEY"}), 0);
  EXPECT_EQ(var(0)->type, TYP_INT);
  EXPECT_EQ(var(0)->value.i, 1) << "N_PARAMS counts positional arguments only";
  EXPECT_EQ(var(1)->value.l, 7) << "KEY abbreviates KEYWORD and binds by reference";

  EXPECT_EQ(run_kw_call(this, p, {"", "ZZ"}), M_KW_NOT_ALLOWED);
  EXPECT_EQ(run_kw_call(this, p, {"", ""}), M_WRONG_ARG_COUNT) << "a positional argument meets a keyword formal";

  KwProc q({"", "KEYA", "KEYB"});
  EXPECT_EQ(run_kw_call(this, q, {"", "KEY"}), M_KW_AMBIGUOUS);
  EXPECT_EQ(run_kw_call(this, q, {"", "KEYB"}), 0);

  Set5 plain;
  EXPECT_EQ(run_kw_call(this, plain, {"X"}), M_NO_KEYWORDS);
  EXPECT_EQ(curr_frame, main_frame);
}

// FUNCTION F, n : IF n LE 0 THEN RETURN, 0 : s = 0
//   FOR i=1,2 DO s = s + F(n-1) + 1 : RETURN, s
struct RecursiveFor : Routine {
  RecursiveFor() : Routine("F", {""}, 3, true) {
    line(1);
    param(0);
    lng(0);
    op(OP_LE);
    uint32_t jf = branch(OP_JUMP_IF_FALSE);
    lng(0);
    op(OP_RETURN);
    patch_here(jf);
    line(2);
    lng(0);
    store_local(1);
    line(3);
    lng(1);
    local(2);
    lng(2);
    uint32_t fi = for_init(false);
    local(1);
    param(0);
    lng(1);
    op(OP_SUB);
    call(OP_CALL_USERFUN, &cb, 1);
    op(OP_ADD);
    lng(1);
    op(OP_ADD);
    store_local(1);
    for_next(fi);
    line(4);
    local(1);
    op(OP_RETURN);
    op(OP_IMPLICIT_RETURN);
    op(OP_END);
  }
};

TEST_F(FramesTest, RecursionKeepsEachActivationsLoopState) {
  RecursiveFor f;
  for (int n = 0; n <= 4; n++) {
    Asm a;
    a.line(1);
    a.lng(n);
    a.call(OP_CALL_USERFUN, &f.cb, 1);
    a.store_local(0);
    a.op(OP_END);
    EXPECT_EQ(run(a), nullptr);
    int expect = 0;
    for (int k = 1; k <= n; k++) expect = 2 * expect + 2;
    EXPECT_EQ(var(0)->value.l, expect) << "n = " << n;
  }
  EXPECT_FALSE(f.cb.flags & CB_ACTIVE);
}

// PRO FAIL : x = undefined + 1 : END
struct Fail : Routine {
  Fail() : Routine("FAIL", {}, 2, false) {
    line(1);
    local(0);
    lng(1);
    op(OP_ADD);
    store_local(1);
    op(OP_IMPLICIT_RETURN);
    op(OP_END);
  }
};

TEST_F(FramesTest, CatchResumesAfterTheCatchCallWithTheErrorCode) {
  Fail fail;
  // CATCH, err : count = count + 1 : IF err EQ 0 THEN FAIL
  Asm a;
  a.line(1);
  a.lng(0);
  a.store_local(1);
  a.line(2);
  a.local(0);
  a.call(OP_CALL_SYSPRO, proc("CATCH"), 1);
  a.line(3);
  a.local(1);
  a.lng(1);
  a.op(OP_ADD);
  a.store_local(1);
  a.line(4);
  a.local(0);
  a.lng(0);
  a.op(OP_EQ);
  uint32_t jf = a.branch(OP_JUMP_IF_FALSE);
  a.call(OP_CALL_USERPRO, &fail.cb, 0);
  a.patch_here(jf);
  a.op(OP_END);
  EXPECT_EQ(interpreter(a.code(), 0, 0, nullptr), nullptr);
  EXPECT_EQ(var(0)->type, TYP_LONG);
  EXPECT_EQ(var(0)->value.l, M_UNDEFINED);
  EXPECT_EQ(var(1)->value.l, 2);
  EXPECT_EQ(curr_frame, main_frame);
  EXPECT_EQ(temp_list_handler(3), 0);
}

TEST_F(FramesTest, OnErrorChoosesWhereExecutionStops) {
  Fail fail;
  // PRO SETTER : ON_ERROR, level : FAIL : END, called from main.
  for (int level = 0; level <= 3; level++) {
    Routine setter("SETTER", {}, 0, false);
    setter.line(1);
    setter.lng(level);
    setter.call(OP_CALL_SYSPRO, proc("ON_ERROR"), 1);
    setter.line(2);
    setter.call(OP_CALL_USERPRO, &fail.cb, 0);
    setter.op(OP_IMPLICIT_RETURN);
    setter.op(OP_END);
    Asm a;
    a.line(1);
    a.call(OP_CALL_USERPRO, &setter.cb, 0);
    a.op(OP_END);
    uint8_t* stop = run(a);
    EXPECT_NE(stop, nullptr);
    const CodeBlock* expect = level == 0 ? &fail.cb : level == 3 ? &setter.cb : main_prog;
    EXPECT_EQ(curr_frame->routine, expect) << "ON_ERROR " << level;
    if (level == 0 || level == 3) {
      EXPECT_EQ(stop, curr_frame->current_stmt);
    }
    return_all(nullptr);
    EXPECT_EQ(temp_list_handler(3), 0);
  }
}

TEST_F(FramesTest, RunawayRecursionEndsWithAMessage) {
  Routine p("DEEP", {}, 0, false);
  p.line(1);
  p.call(OP_CALL_USERPRO, &p.cb, 0);
  p.op(OP_IMPLICIT_RETURN);
  p.op(OP_END);
  Asm a;
  a.line(1);
  a.local(0);
  a.call(OP_CALL_SYSPRO, proc("CATCH"), 1);
  a.line(2);
  a.local(0);
  a.lng(0);
  a.op(OP_EQ);
  uint32_t jf = a.branch(OP_JUMP_IF_FALSE);
  a.call(OP_CALL_USERPRO, &p.cb, 0);
  a.patch_here(jf);
  a.op(OP_END);
  EXPECT_EQ(interpreter(a.code(), 0, 0, nullptr), nullptr);
  EXPECT_EQ(var(0)->value.l, M_GENERIC);
  EXPECT_EQ(curr_frame, main_frame);
  EXPECT_FALSE(p.cb.flags & CB_ACTIVE);
}

TEST_F(FramesTest, KeywordSetIsTrueForNonZeroAndArrays) {
  struct Case {
    std::function<void(Asm&)> arg;
    int expect;
  } cases[] = {{[](Asm& a) { a.lng(2); }, 1},
               {[](Asm& a) { a.lng(0); }, 0},
               {[](Asm& a) { a.local(9); }, 0},
               {[](Asm& a) { a.str(""); }, 0},
               {[](Asm& a) { a.flt(0.25f); }, 1}};
  for (auto& c : cases) {
    Asm a;
    a.line(1);
    c.arg(a);
    a.call(OP_CALL_SYSFUN, func("KEYWORD_SET"), 1);
    a.store_local(0);
    a.op(OP_END);
    EXPECT_EQ(run(a), nullptr);
    EXPECT_EQ(var(0)->value.i, c.expect);
  }
}

TEST_F(FramesTest, OnErrorRejectsLevelsOutsideZeroToThree) {
  Asm a;
  a.line(1);
  a.lng(4);
  a.call(OP_CALL_SYSPRO, proc("ON_ERROR"), 1);
  a.op(OP_END);
  EXPECT_NE(run(a), nullptr);
  EXPECT_EQ(error_code, M_VALUE_RANGE);
  EXPECT_EQ(main_frame->on_error, 0);
}

}  // namespace
