// Messages and errors: the message table, message() with its prefix, wrapping and
// error-state recording, the transfer to the interpreter's recovery point (a C++
// exception), and the math-error accounting behind CHECK_MATH. Higher layers (the
// terminal writer, frames, journal, graphics) plug in through MessageHooks so that this
// module depends on nothing above the value model.
#pragma once

#include <cfenv>
#include <cstdarg>
#include <cstdint>
#include <string>


// Actions (low 16 bits of the action word) and flags (high bits).
constexpr int MSG_CONTINUE = 0;
constexpr int MSG_EXIT = 1;
constexpr int MSG_LONGJMP = 2;
constexpr int MSG_IOERROR = 3;
constexpr int MSG_INFO = 4;
constexpr int MSG_NOPRINT = 0x10000;
constexpr int MSG_PAGED = 0x20000;
constexpr int MSG_NOPREFIX = 0x40000;
constexpr int MSG_QUIET = 0x80000;
constexpr int MSG_NOTRACEBACK = 0x100000;
constexpr int MSG_BELL = 0x200000;

constexpr int MSG_TABLE_SIZE = 408;
constexpr int MAX_ERR_STRING = 511;

// Named message codes (negative numbers into msg_arr). Add names as call sites need them.
enum MsgCode : int {
  M_GENERIC = -1,               // "%s"
  M_ROUTINE_GENERIC = -2,       // "%N%s"
  M_INTERNAL = -3,              // "Internal error: %s."
  M_BAD_CODE = -6,              // "%NMessage code is invalid."
  M_TOO_MANY_TAGS = -18,
  M_CONVERT = -69,
  M_INCORRECT_ARGS = -71,
  M_UNKNOWN_TYPE = -73,
  M_STR_TO_BYTE_DIMS = -77,
  M_MATH_ERROR = -89,
  M_TEMP_LIMIT = -93,
  M_STORE_EXPR = -94,
  M_TEMPS_CHECKED_OUT = -95,
  M_NO_MEMORY = -96,
  M_NO_FREE = -97,
  M_CORRUPT_DESC = -101,
  M_OFFSET_RANGE = -102,
  M_MAX_DIMS = -112,
  M_DIMS_POSITIVE = -113,
  M_UNDEFINED = -124,
  M_NOT_ARRAY = -125,
  M_NOT_SCALAR = -126,
  M_NO_STRING = -128,
  M_NOT_NAMED = -129,
  M_NO_FILE = -131,
  M_NO_FILE_STRUCT = -133,
  M_NEED_STRING = -134,
  M_NULL_STRING = -135,
  M_STRUCT_CONVERT = -151,
  // Operators, structures and subscripts.
  M_SUBSCRIPT_RANGE = -104,      // "Attempt to subscript %s with %s is out of range."
  M_INSERT_RANGE = -105,         // "Out of range subscript encountered: %s."
  M_RANGE_VALUES = -106,         // "Subscript range values must be >= 0, < size: %s."
  M_SOURCE_SIZE = -107,          // "Array subscript for %s must have same size as source expression."
  M_SUBSCRIPT_SIZES = -108,      // "All array subscripts must be same size. Var = %s"
  M_READ_ONLY = -141,            // "Attempt to write to a readonly variable: %s."
  M_STRUCT_CONFLICT = -142,      // "Conflicting data structures: %s,%s."
  M_STRUCT_NTAGS = -143,         // "Wrong number of tags defined for structure: %s."
  M_STRUCT_TAG_DEF = -144,       // "Conflicting structure tag definition: %s."
  M_STRUCT_UNDEFINED = -145,     // "Structure type not defined: %s."
  M_SUBSCRIPT_STRUCT = -146,     // "Structures or files not allowed in this context: %s"
  M_TAG_UNDEFINED = -147,        // "Tag name %s is undefined for structure %s."
  M_STRUCT_NESTING = -149,       // "Structure references nested too deeply: %s."
  M_TAG_NUMBER = -150,           // "Invalid tag number, %s, structure %s."
  M_STRUCT_ANON_MEMBER = -152,   // "Structures can't have anonymous structure members"
  M_CONCAT_DIMS = -160,          // "Unable to concatenate variables because the dimensions do not agree: %s."
  M_ILLEGAL_STRING = -161,       // "Operation illegal with strings."
  M_ILLEGAL_COMPLEX = -162,      // "Operation illegal with complex type."
  M_ILLEGAL_FLOAT = -163,        // "Operation illegal with floating/double types."
  M_MMULT_DIMS = -164,           // "Operands of matrix multiply have incompatible dimensions: %s, %s."
  M_STRING_TOO_LONG = -231,
  M_FORMAT_TRUNCATED = -232,
  // System variables, array creation and reductions.
  M_NO_DIMS = -116,
  M_ARRAY_DIMS = -118,
  M_ARRAY_DIMS_OF = -121,       // "Array must have dimensions of (%d, %d): %s."
  M_SYSVAR_NAME = -139,
  M_CONFLICT_DEF = -140,
  M_INVALID_TYPE = -284,
  M_NAMED_TEXT = -5,            // "%s: %s"
  M_VALUE_RANGE = -56,
  M_DEST_NAMED = -268,
  M_CONFLICTING_KW = -82,
  // Compiler and compiler input.
  M_COMPILED = -33,
  M_RESTORED = -34,
  M_COMPILE_ERRORS = -36,
  M_CODE_FULL = -37,
  M_DATA_FULL = -38,
  M_SYNTAX = -42,
  M_COMPILER_SPACE = -43,
  M_LABEL_TWICE = -44,
  M_LABEL_UNDEFINED = -45,
  M_END_MISMATCH = -46,
  M_CONFLICTING_DEF = -47,
  M_HEADER_FIRST = -48,
  M_MAIN_WHILE_ACTIVE = -49,
  M_PROGRAM_IN_SINGLE = -50,
  M_MAIN_INSIDE_PROC = -51,
  M_COMPILER_READ = -52,
  M_TOO_MANY_FILES = -53,
  M_TOO_MANY_LOCALS = -54,
  M_COMMON_EMPTY = -55,
  M_FUNC_RETURN = -57,
  M_PROC_RETURN = -58,
  M_TOO_MANY_ERRORS = -63,
  M_LIB_NO_ROUTINE = -64,
  M_COMPILED_ACTIVE = -65,
  M_WRONG_ARG_COUNT = -72,
  M_FOR_VARIABLE = -75,
  M_NO_KEYWORDS = -79,
  M_TOO_MANY_KEYWORDS = -83,
  M_EXTEND_COMMON = -98,
  M_STAR_N_SUBSCRIPT = -103,
  M_SEVEN_SUBSCRIPTS = -111,
  M_STRUCT_TAG_COUNT = -143,
  M_STRUCT_TAG_CONFLICT = -144,
  M_CONCAT_OPERANDS = -158,
  M_CONCAT_LEVELS = -159,
  M_EOF_IN_PROGRAM = -165,
  M_OPEN_INPUT = -166,
  M_OPEN_LISTING = -168,
  M_WRITE_LISTING = -169,
  M_CLOSE_FILE = -170,
  M_BAD_SYSVAR_NAME = -138,
  M_ILLEGAL_OPERATOR = -157,
  M_PATH_STAT = -242,
  M_PATH_TOO_MANY = -243,
  // Lexer and keyword decoding.
  M_ILLEGAL_CHAR = -39,
  M_BAD_HEX_OCTAL = -40,
  M_BYTE_CONST = -41,
  M_KW_NOT_ALLOWED = -78,
  M_KW_AMBIGUOUS = -80,
  M_KW_ARRAY_COUNT = -81,
  M_KW_DUPLICATE = -84,
  M_NOT_STRUCT = -148,
  // Line editing and operating-system services.
  M_RECALL_NO_MATCH = -7,       // "No commands containing '%s' exist in the command buffer."
  M_RECALL_NUMBER = -8,         // "Line number must lie between 1 and %d: '%s'."
  M_INPUT_TOO_LONG = -16,
  M_SYSTEM_ERROR = -4,          // "%NSystem error %s."
  M_TTY_MODES = -188,
  M_CHILD_PROCESS = -234,
  M_NO_CWD = -236,
  M_FORK = -247,
  M_NOT_TTY = -274,
  M_BAD_FKEY = -283,
  M_CHDIR = -286,
  // Interpreter, frames and the main loop.
  M_TRACEBACK = -9,
  M_CALLED_FROM = -10,
  M_CANT_CONTINUE = -31,
  M_NO_SUCH_EXEC = -32,
  M_NO_MAIN_PROGRAM = -35,
  M_UNDEFINED_ROUTINE = -59,
  M_TOO_MANY_PARAMS = -60,
  M_PROC_FUN_MISMATCH = -61,
  M_RETURN_FROM_MAIN = -62,
  M_INTERRUPTED = -66,
  M_SIGNAL_FAILED = -67,
  M_UNKNOWN_INSTRUCTION = -68,
  M_CASE_NO_MATCH = -74,
  M_LOOP_LIMIT = -76,
  M_CALLBACK_STOP = -90,
  M_FOR_ENTERED_ILLEGALLY = -91,
  M_CATCH_EXCEPTION = -92,
  M_NO_COMPLEX = -127,
  // Array library: filters, reordering, histograms and resampling.
  M_NEW_SUBSCRIPTS = -109,       // "%NNew subscripts must not change the number elements in %s."
  M_NOT_ENOUGH_ELEMENTS = -114,  // "%NArray %s does not have enough elements."
  M_ONE_OR_TWO_DIMS = -117,      // "%NOnly 1 or 2 dimensions allowed: %s"
  M_INTEGER_FACTOR = -119,       // "%NResult dimensions must be integer factor of original dimensions"
  M_BINSIZE = -269,              // "%NIllegal binsize or max/min."
  M_SMOOTH_WIDTH = -270,         // "%NWidth must be > 2 and smaller than array dimensions: %s"
  M_KERNEL_DIMS = -271,          // "%NKernel's dimensions are incompatible with  operand's: %s."
  M_MEDIAN_WIDTH = -277,         // "%NWidth must be > 1, and < dimensions: %s."
  M_MAIN_LEVEL_ONLY = -252,
  M_EXECUTE_LEVEL = -275,
  M_CALL_NAME_FIRST = -287,
  // Formatted, free-format and unformatted transfers.
  M_NO_STRUCT_EXPR = -132,      // "%NStruct expression not allowed in this context: %s."
  M_IO_EOF = -182,              // "%NEnd of file encountered. Unit: %d\nFile: %s"
  M_INPUT_CONVERSION = -187,    // "%NInput conversion error."
  M_UNFORMATTED_NOT_ALLOWED = -195,
  M_FMT_PAREN_EXPECTED = -214,  // "'(' expected."
  M_FMT_UNEXPECTED_END = -215,
  M_FMT_EXTRA_COMMA = -216,
  M_FMT_COMMA_OR_SLASH = -217,
  M_FMT_COMMA = -218,
  M_FMT_UNEXPECTED_TEXT = -219,
  M_FMT_TEXT_AT_END = -220,
  M_FMT_RANGE = -221,
  M_FMT_REPEAT = -222,
  M_FMT_INTEGER = -223,
  M_FMT_DOT = -224,
  M_FMT_HOLLERITH = -225,
  M_FMT_TOO_MANY = -226,
  M_FMT_BUFFER_FULL = -227,
  M_FMT_LOOP = -228,
  M_FMT_END_RECORD = -229,
  M_FMT_INPUT = -230,
  M_END_OF_INPUT = -233,        // "%NEnd of input data encountered: %s"
  // Terminal and file units.
  M_OPEN_FAILED = -167,
  M_FILENAME_STRING = -171,
  M_UNIT_OPEN = -172,
  M_UNIT_NOT_OPEN = -173,
  M_UNIT_RANGE = -174,
  M_UNIT_NOT_ALLOWED = -176,
  M_NOT_INPUT = -177,
  M_NOT_OUTPUT = -178,
  M_NO_LUNS = -179,
  M_READ_ERROR = -180,
  M_WRITE_ERROR = -181,
  M_NEG_POSITION = -183,
  M_SEEK_FAILED = -184,
  M_NULL_FILENAME = -185,
  M_FLUSH_FAILED = -186,
  M_PUSHBACK = -189,
  M_FSTAT_FAILED = -191,
  M_RESERVED_CLOSE = -192,
  M_ON_TERMINAL = -193,
  M_DELETE_FAILED = -194,
  M_NON_STDIO = -196,
  M_ON_PIPE = -199,
  M_XDR_BOTH = -290,
  M_ON_XDR = -291,
  // Graphics devices.
  M_WRITE_FAILED = -175,        // "%NUnable to write to file: %s."
  M_DEVICE_NOT_AVAILABLE = -272,  // "Graphics device not available: %s."
  M_NO_DEVICE = -294,           // "%NNo graphics device defined."
  M_NO_SLOT = -295,             // "%NRoutine is not defined for current graphics device."
  M_CANT_READ = -305,           // "%NUnable to read from current device: %s."
  M_NO_DATA_SYSTEM = -319,      // "%NData coordinate system not established."
  M_BAD_3D = -320,              // "%NIllegal 3D transformation."
  M_MAP_PROJECTION = -321,      // "Illegal map projection (!MAP.PROJECTION) value."
  M_NO_WORDS = -322,            // "%NDevice can not transfer 16 bit pixels."
  // Axes and plotting routines.
  M_NO_VALID_POINTS = -282,     // "%NNo valid points, must have at least 2 distinct points"
  M_INFINITE_RANGE = -301,      // "%NWarning: Infinite plot range."
  M_PSYM_RANGE = -302,          // "%NPSYM (plotting symbol) out of range"
  M_ONE_PARAM_DIMS = -304,      // "%NWhen only 1 param, dims must be (2,n) or 3,n)"
  M_NO_USERSYM = -307,          // "%NNo user symbol defined."
  M_USERSYM_2N = -308,          // "%N(X,Y) array must be (2,N)."
  M_SAME_POINTS = -309,         // "%NX & Y arrays must have same number of points."
  M_POINTS_RANGE = -310,        // "%NNumber of points must be between 2 and MAX."
  M_NO_FONT = -325,             // "Requested PostScript font does not exist. Using %s."
  M_POLY_LIMIT = -326,          // "Number of Polygon vertices exceeds limit for some PostScript printers."
  M_PROLOG_VERSION = -327,      // "PostScript Prolog file version mismatch."
  M_FONT_INDEX = -329,          // "%NFont index out of allowed range (3 <= index <= 20)."
  M_TOO_MANY_SAVES = -331,      // "%NToo many saves in PostScript text: %s"
  M_NO_SAVE = -332,             // "%NRestore command has no matching previous save: ...%s"
  M_NO_DISPLAY = -337,          // "%NUnable to open X Windows display: %s ..."
  M_WINDOW_RANGE = -293,        // "%NWindow number %d out of range or no more windows"
  M_WINDOW_CLOSED = -296,       // "%NWindow is closed and unavailable."
  M_NO_WINDOW = -315,           // "Window does not exist: %d."
  M_PIXMAP_WINDOW = -316,       // "%NOperation invalid on pixmap window: %d."
  M_NEED_RETAIN = -318,         // "%NWindow %d must have retained storage."
  M_NO_ICONIFY = -324,          // "Unable to iconify requested window."
  M_NO_COLORS = -338,           // "%NUnable to allocate enough colors."
  M_X_PROTOCOL = -340,          // "X windows protocol error: %s."
  M_X_CREATE = -341,            // "%NUnable to create X windows %s."
  M_X_VISUAL = -342,            // "Unsupported X Windows visual (class: %s, depth: %d). ..."
  M_X_RESOURCE = -343,          // "%NX Windows resource \"%s.%s\" has invalid value: %s."
  // Graphic text and fonts.
  M_NO_SUCH_FONT = -298,        // "%NNo such font: %d"
  M_HERSHEY = -299,             // "%NError using Hershey characters: %s."
  M_NO_FONT_METRICS = -328,     // "Unable to find PostScript font metric file: %s."
  M_BAD_GRAPHTEXT = -330,       // "%NInvalid graphtext command: ...%s"
  // Handles.
  M_HANDLE_IDS_USED = -99,      // "All possible handle identifiers are in use."
  M_BAD_HANDLE = -100,          // "%NInvalid handle identifier: %d."
  M_HANDLE_STATIC_CHILD = -406, // "%NStatic handle (%s) must not be a child of moving handle (%s)."
  M_HANDLE_TOP_SIBLING = -407,  // "%NTop level handles cannot have siblings: %s."
  // Save and restore files.
  M_NO_HOSTNAME = -235,          // "Unable to get host name."
  M_SAVE_INVALID = -248,         // "%NNot a valid save file: %s."
  M_SAVE_TRUNCATED = -249,       // "%NTruncated save file, restored as much as possible: %s."
  M_SAVE_ITEM = -250,            // "%NUnexpected item code found in save file."
  M_NOT_SAVED = -251,            // "%NUndefined item not saved: %s."
  M_SAVED = -253,                // "%NSaved %s: %s."
  M_RESTORED_ITEM = -254,            // "%NRestored %s: %s."
  M_RESTORE_STOPPED = -255,      // "%NUnable to continue restore operation."
  M_COMMON_ALIAS = -256,         // "%N%s not placed in common block %s because it would alias ..."
  M_STRUCT_RESTORE_CONFLICT = -257,  // "%NStructure not restored due to conflict with existing definition: %s."
  M_SYSVAR_NOT_RESTORED = -258,  // "%NRead only system variable not restored: %s."
  M_SAVE_OBSOLETE = -259,        // "%NObsolete SAVE/RESTORE file: %s."
  M_STRUCT_TAG_TYPE = -260,      // "%NUnable to restore structure, tag type disagrees with existing definition: %s."
  M_STRUCT_TAG_NAMES = -261,     // "%NTag names disagree. Using original definition: %s(restored) -> %s(existing)."
  M_SAVE_WRITTEN_BY = -262,      // "%NSave file written by %s@%s, %s."
  M_SAVE_VMS = -263,             // "%NVAX/VMS-only SAVE/RESTORE file: %s."
  M_SAVE_KIND = -264,            // "%N%s SAVE/RESTORE file."
  M_SYSROUTINE_MISSING = -265,   // "%NSystem routine %s is not defined, used in %s."
  M_RESTORE_ACTIVE = -266,       // "%NProcedure %s can't be restored while active."
  M_OLD_ROUTINES = -267,         // "%NProcedures can't be restored from old versions."
};

extern const char* const msg_arr[MSG_TABLE_SIZE];

// The transfer to a recovery point: thrown by message() for actions 2 and 3 and caught
// by the innermost interpreter activation. `action` is the whole action word.
struct VekJump {
  int action;
  int code;
};

// Error state viewed by !ERR, !ERROR, !ERR_STRING, !SYSERROR, !SYSERR_STRING, !MSG_PREFIX
// and !QUIET.
extern int32_t err_code;
extern int32_t error_code;
extern std::string ur_err_string;
extern int32_t syserror_codes[2];
extern std::string ur_syserr_string;
extern std::string msg_prefix;
extern int32_t vek_quiet;

// Services message() needs from higher layers. Null hooks mean "not there yet": output
// then goes straight to stderr, no CATCH or ON_IOERROR is active, no journal is open.
struct MessageHooks {
  // Name of the executing system routine (for "%N"), or null.
  const char* (*current_sysroutine)() = nullptr;
  // Write text through the terminal writer with the given output flags (1 = error
  // stream, 8 = paged). `end_line` completes the line.
  void (*write)(int flags, const char* text, bool end_line) = nullptr;
  // Width of the error stream (unit -2).
  int (*error_width)() = nullptr;
  // True when the current frame has an active ON_IOERROR target.
  bool (*ioerror_active)() = nullptr;
  // True when the current frame or a caller has a CATCH established.
  bool (*catch_active)() = nullptr;
  // Line editing active: a carriage return precedes the message.
  bool (*line_editing)() = nullptr;
  // Journal: copy of a message line; null when no journal is open.
  void (*journal)(const char* line) = nullptr;
  // Called once before a message's journal copies: flush the journal's pending input
  // line and note that a message was journalled.
  void (*journal_begin_message)() = nullptr;
  // Widget front end's bell (MSG_BELL in widget mode); null outside widget mode.
  void (*widget_bell)() = nullptr;
  // Name of the user routine of the current frame ("$MAIN$" at the main level), for
  // MESSAGE; null hook: "$MAIN$".
  const char* (*current_routine)() = nullptr;
  // Graphics return-to-text hook.
  void (*inter_exit)(int) = nullptr;
  // Program exit for MSG_EXIT.
  void (*exit_program)(int status) = nullptr;
  // Traceback printer (Part of the interpreter); null: no traceback.
  void (*traceback)(const char* title, int walk_callers, int notify, int pc) = nullptr;
  // Terminal mode (for the BEL character).
  bool (*is_terminal)() = nullptr;
};
extern MessageHooks message_hooks;

// Reports message `code`. Returns only for actions 0 and 4 (and unknown actions).
void message(int code, int syserr, int action, ...);
// The same with the format's arguments as a va_list (for reporters that share the core,
// such as the compiler's error reporter).
void message_v(int code, int syserr, int action, va_list ap);
[[noreturn]] void message_error(int code, int syserr, int action, ...);

// STRMESSAGE: the raw text of entry |n|.
const char* strmessage_text(int n);

// Math errors. Bits: 1 integer divide by 0, 2 integer overflow, 16 floating divide by
// 0, 32 floating underflow, 64 floating overflow, 128 floating illegal operand.
constexpr int MATH_INT_DIV0 = 1;
constexpr int MATH_INT_OVERFLOW = 2;
constexpr int MATH_FLT_DIV0 = 16;
constexpr int MATH_FLT_UNDERFLOW = 32;
constexpr int MATH_FLT_OVERFLOW = 64;
constexpr int MATH_FLT_INVALID = 128;

struct MathErrorState {
  bool report_enabled = true;
  int accumulated = 0;   // bits not yet examined
  int report_count = 0;  // reports beyond 8 are suppressed
  int cumulative = 0;    // bits ever reported
  int pending = 0;       // pending-math-error flag (second half of int_interrupt)
};
extern MathErrorState math_errors;

// Kernels call this when they detect an integer division by zero (they substitute the
// result themselves and never execute the faulting division).
inline void note_math_error(int bits) {
  math_errors.accumulated |= bits;
  math_errors.pending |= bits;
}

int trap_enable(int on);
// True when a floating exception that reports at once (invalid operand, divide by zero,
// overflow) has left its sticky flag. Read inline from the SSE control register: the
// interpreter asks at every statement.
inline bool fp_error_flags_raised() {
#if defined(__x86_64__)
  return (__builtin_ia32_stmxcsr() & 0x0D) != 0;
#else
  return fetestexcept(FE_DIVBYZERO | FE_OVERFLOW | FE_INVALID) != 0;
#endif
}
// True when a math error waits to be reported: an integer kernel noted one, or (with
// reports on) a floating exception left its sticky flag. The interpreter asks after
// each statement and then calls print_fp_errors.
inline bool math_error_waiting() {
  return math_errors.pending || (math_errors.report_enabled && fp_error_flags_raised());
}
void print_fp_errors();
int check_fpe(int report, int set_bits, int mode, int mask);
