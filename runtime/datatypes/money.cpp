// money!: the packed amount, currencies, conversions, the exact decimal
// arithmetic, comparison, text, rounding, random amounts and the accessors.
//
// The arithmetic unpacks the 22 digits into a count of 10^-5 units (below
// 10^22, so products of the allowed sizes fit 128 bits), works on the
// magnitudes and packs the result again; every result that would need an
// 18th integral digit is refused.
#include "datatypes/money.h"

#include <cmath>
#include <cstring>
#include <string>
#include <string_view>

#include "action_frames.h"
#include "datatypes/context.h"
#include "datatypes/core_words.h"
#include "datatypes/error.h"
#include "datatypes/float.h"
#include "datatypes/integer.h"
#include "datatypes/logic.h"
#include "datatypes/registry.h"
#include "datatypes/strout.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "errors.h"
#include "families.h"
#include "floattext.h"
#include "hashtable.h"
#include "numscan.h"
#include "random.h"
#include "roots.h"

namespace vel::money {

namespace {

constexpr Units pow10(int n) {
  Units u = 1;
  for (int i = 0; i < n; i++) u *= 10;
  return u;
}
constexpr Units kLimit = pow10(DIGITS);          // first magnitude that does not fit
constexpr Units kUnit = pow10(FRAC_DIGITS);      // $1 in units

[[noreturn]] void overflow() { fire(ErrId::TYPE_LIMIT, datatype_cell(TYPE_MONEY)); }

// Cell byte k (4-15) through the data words, little-endian.
inline uint32_t* word_of(Cell* c, int k) { return k < 8 ? &c->w1 : k < 12 ? &c->w2 : &c->w3; }
inline uint32_t word_of(const Cell& c, int k) { return k < 8 ? c.w1 : k < 12 ? c.w2 : c.w3; }
inline uint8_t byte_at(const Cell& c, int k) { return uint8_t(word_of(c, k) >> ((k & 3) * 8)); }
inline void put_byte(Cell* c, int k, uint8_t b) {
  uint32_t* w = word_of(c, k);
  int shift = (k & 3) * 8;
  *w = (*w & ~(0xFFu << shift)) | (uint32_t(b) << shift);
}

int digit_count(Units u) {
  int n = 1;
  while (u >= 10) {
    u /= 10;
    n++;
  }
  return n;
}

// The start-up currency list, used until system/locale/currencies exists.
constexpr std::string_view kDefaultCodes =
    "AEDAFNALLAMDANGAOAARSAUDAWGAZNBAMBBDBDTBTCBGNBHDBIFBMDBNDBOBBRLBSDBTNBWPBYNBZDCADCDFCHFCKDCLPCNYCOPCRCCUCCUP"
    "CVECZKDJFDKKDOPDZDEGPERNETBETHEURFJDFKPFOKGBPGELGGPGHSGIPGMDGNFGTQGYDHKDHNLHRKHTGHUFIDRILSIMPINRIQDIRRISKJEP"
    "JMDJODJPYKESKGSKHRKIDKMFKPWKRWKWDKYDKZTLAKLBPLKRLRDLSLLYDMADMDLMGAMKDMMKMNTMOPMRUMURMVRMWKMXNMYRMZNNADNGNNIO"
    "NOKNPRNZDOMRPABPENPGKPHPPKRPLNPNDPRBPYGQARVELRONRSDRUBRWFSARSBDSCRSDGSEKSGDSHPSLLSLSSOSSRDSSPSTNSYPSZLTHBTJS"
    "TMTTNDTOPTRYTTDTVDTWDTZSUAHUGXUSDUYUUZSVESVNDVUVWSTCFAXAFXCDXOFCFPXPFYERZARZMW";
static_assert(kDefaultCodes.size() == 170 * 3);

// The currency list block's cells, or null for the start-up list.
const Cell* list_cells(uint32_t* count) {
  const Cell* list = system_field(SymId::LOCALE, SymId::CURRENCIES, SymId::LIST);
  if (!list || !list->is(TYPE_BLOCK) || !list->node()) return nullptr;
  Buffer* b = node_buffer(list->node());
  uint32_t len = b->length();
  uint32_t index = list->index() < 0 ? 0 : uint32_t(list->index());
  *count = index < len ? len - index : 0;
  return b->cells() + index;
}

bool same_code(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); i++) {
    char x = a[i], y = b[i];
    if (x >= 'a' && x <= 'z') x = char(x - 32);
    if (y >= 'a' && y <= 'z') y = char(y - 32);
    if (x != y) return false;
  }
  return true;
}

// An index must fit the cell's currency byte.
int32_t storable(int32_t index) { return index >= 1 && index <= 255 ? index : -1; }

int money_digits() {
  const Cell* v = system_field(SymId::OPTIONS, SymId::MONEY_DIGITS);
  return v && v->is(TYPE_INTEGER) ? v->i2() : 2;
}

// A signed magnitude while computing.
struct Amount {
  bool negative;
  Units u;
};

inline Amount amount_of(const Cell& c) { return Amount{get_sign(c) != 0, units(c)}; }

}  // namespace

// --- cell fields ------------------------------------------------------------------------------

void get_bytes(const Cell& c, uint8_t out[AMOUNT_BYTES]) {
  for (int i = 0; i < AMOUNT_BYTES; i++) out[i] = byte_at(c, 5 + i);
}

void set_bytes(Cell* c, const uint8_t in[AMOUNT_BYTES]) {
  for (int i = 0; i < AMOUNT_BYTES; i++) put_byte(c, 5 + i, in[i]);
}

Units units(const Cell& c) {
  Units u = 0;
  for (int k = 5; k < 16; k++) {
    uint8_t b = byte_at(c, k);
    u = u * 100 + (b >> 4) * 10 + (b & 15);
  }
  return u;
}

void set_units(Cell* c, Units u) {
  if (u >= kLimit) overflow();
  for (int k = 15; k >= 5; k--) {
    uint8_t lo = uint8_t(u % 10);
    u /= 10;
    uint8_t hi = uint8_t(u % 10);
    u /= 10;
    put_byte(c, k, uint8_t(hi << 4 | lo));
  }
}

Cell cell_of(bool negative, Units u, uint32_t currency_index) {
  Cell c = zero_cell();
  set_units(&c, u);
  set_sign(&c, negative);
  set_currency(&c, currency_index);
  return c;
}

int significant_digits(const Cell& c) { return digit_count(units(c)); }

// --- currencies ----------------------------------------------------------------------------

int32_t currency_index_of_text(std::string_view code) {
  uint32_t n = 0;
  const Cell* cells = list_cells(&n);
  if (!cells) {
    for (size_t i = 0; i < kDefaultCodes.size(); i += 3)
      if (same_code(code, kDefaultCodes.substr(i, 3))) return int32_t(i / 3 + 1);
    return -1;
  }
  for (uint32_t i = 0; i < n; i++) {
    const Cell& w = cells[i];
    if (is_any_word(w.type()) && !w.is(TYPE_ISSUE) && same_code(code, symbol::text(w.w2)))
      return storable(int32_t(i + 1));
  }
  return -1;
}

int32_t currency_index(const Cell& word) {
  uint32_t n = 0;
  const Cell* cells = list_cells(&n);
  if (!cells) return currency_index_of_text(symbol::text(word.w2));
  uint32_t s = symbol::resolve(word.w2);
  for (uint32_t i = 0; i < n; i++) {
    const Cell& w = cells[i];
    if (is_any_word(w.type()) && !w.is(TYPE_ISSUE) && symbol::resolve(w.w2) == s)
      return storable(int32_t(i + 1));
  }
  return -1;
}

int currency_code(uint32_t index, char out[8]) {
  out[0] = 0;
  if (!index) return 0;
  uint32_t n = 0;
  const Cell* cells = list_cells(&n);
  std::string_view code;
  if (!cells) {
    if (index > kDefaultCodes.size() / 3) return 0;
    code = kDefaultCodes.substr((index - 1) * 3, 3);
  } else {
    if (index > n || !is_any_word(cells[index - 1].type())) return 0;
    code = symbol::text(cells[index - 1].w2);
  }
  if (code.size() > 7) code = code.substr(0, 7);
  std::memcpy(out, code.data(), code.size());
  out[code.size()] = 0;
  return int(code.size());
}

// --- constructors and conversions ------------------------------------------------------------

bool make_at(Cell* c, bool negative, std::string_view code, std::string_view digits, std::string_view fraction) {
  *c = zero_cell();
  uint32_t cur = 0;
  if (!code.empty()) {
    int32_t i = currency_index_of_text(code);
    if (i < 1) return false;
    cur = uint32_t(i);
  }
  Units u = 0;
  int significant = 0;
  for (char ch : digits) {
    if (ch == '\'') continue;
    if (ch < '0' || ch > '9') return false;
    if (significant || ch != '0') significant++;
    if (significant > INT_DIGITS) return false;
    u = u * 10 + Units(ch - '0');
  }
  int n = 0;
  for (char ch : fraction) {
    if (ch == '\'') continue;
    if (ch < '0' || ch > '9') return false;
    if (n < FRAC_DIGITS) {
      u = u * 10 + Units(ch - '0');
      n++;
    }
  }
  for (; n < FRAC_DIGITS; n++) u *= 10;
  *c = cell_of(negative, u, cur);
  return true;
}

bool valid_q(const Cell& c) {
  for (int k = 5; k < 16; k++) {
    uint8_t b = byte_at(c, k);
    if ((b >> 4) > 9 || (b & 15) > 9) return false;
  }
  char code[8];
  return !currency(c) || currency_code(currency(c), code) > 0;
}

Cell make_from_bytes(bool negative, uint32_t currency_index, const uint8_t bytes[AMOUNT_BYTES]) {
  Cell c = zero_cell();
  set_bytes(&c, bytes);
  set_sign(&c, negative);
  set_currency(&c, currency_index);
  return c;
}

Cell from_integer(int32_t n) {
  int64_t v = n;
  return cell_of(v < 0, Units(v < 0 ? -v : v) * kUnit, 0);
}

int32_t to_integer(const Cell& c) {
  int s = sign_of(c);
  if (!s) return 0;
  Units whole = units(c) / kUnit;
  if (whole > Units(s < 0 ? 2147483648u : 2147483647u)) fire(ErrId::TYPE_LIMIT, datatype_cell(TYPE_INTEGER));
  int64_t v = int64_t(whole);
  return int32_t(s < 0 ? -v : v);
}

Cell from_float(double x, bool strict) {
  if (!std::isfinite(x) || float_overflow_q(x) || float_underflow_q(x))
    fire(ErrId::BAD_MAKE_ARG, datatype_cell(TYPE_MONEY), float_cell(x));
  if (x == 0.0) return zero_cell();
  // The shortest text that reads back as x: its digits are the amount.
  FloatDigits d;
  float_to_digits(std::fabs(x), 0, false, &d);
  std::string whole, fraction;
  for (int i = 0; i < d.point; i++) whole += i < d.length ? d.text[i] : '0';
  for (int i = d.point; i < 0; i++) fraction += '0';
  for (int i = d.point < 0 ? 0 : d.point; i < d.length; i++) fraction += d.text[i];
  if (strict && fraction.size() > size_t(FRAC_DIGITS)) fire(ErrId::BAD_MAKE_ARG, datatype_cell(TYPE_MONEY), float_cell(x));
  Cell c;
  if (!make_at(&c, x < 0, "", whole, fraction)) fire(ErrId::BAD_MAKE_ARG, datatype_cell(TYPE_MONEY), float_cell(x));
  return c;
}

double to_float(const Cell& c) {
  char text[32];
  Units u = units(c);
  int n = 0;
  char digits[DIGITS];
  for (int i = DIGITS - 1; i >= 0; i--, u /= 10) digits[i] = char('0' + int(u % 10));
  std::memcpy(text, digits, INT_DIGITS);
  n = INT_DIGITS;
  text[n++] = '.';
  std::memcpy(text + n, digits + INT_DIGITS, FRAC_DIGITS);
  n += FRAC_DIGITS;
  size_t rest = 0;
  double d = string_to_float(text, text + n, 0, &rest);
  if (rest) fire(ErrId::BAD_MAKE_ARG, datatype_cell(TYPE_FLOAT), c);
  return sign_of(c) < 0 ? -d : d;
}

// --- arithmetic ------------------------------------------------------------------------------

namespace {

Amount add(Amount a, Amount b) {
  if (!a.u) return b;
  if (!b.u) return a;
  if (a.negative == b.negative) {
    Units s = a.u + b.u;
    if (s >= kLimit) overflow();
    return Amount{a.negative, s};
  }
  if (a.u >= b.u) return Amount{a.u == b.u ? false : a.negative, a.u - b.u};
  return Amount{b.negative, b.u - a.u};
}

Amount subtract(Amount a, Amount b) {
  b.negative = !b.negative;
  return add(a, b);
}

Amount multiply(Amount a, Amount b) {
  if (!a.u || !b.u) return Amount{false, 0};
  if (digit_count(a.u) + digit_count(b.u) > 28) overflow();
  Units p = a.u * b.u / kUnit;
  if (p >= kLimit) overflow();
  return Amount{a.negative != b.negative, p};
}

Amount divide(Amount a, Amount b) {
  if (!b.u) fire(ErrId::ZERO_DIVIDE);
  if (!a.u) return Amount{false, 0};
  if (digit_count(a.u) - digit_count(b.u) > 16) overflow();
  Units q = a.u * kUnit / b.u;
  if (q >= kLimit) overflow();
  return Amount{a.negative != b.negative, q};
}

Amount remainder(Amount a, Amount b) {
  if (!b.u) fire(ErrId::ZERO_DIVIDE);
  return Amount{a.negative, a.u % b.u};
}

Amount compute(Amount a, Amount b, int op) {
  switch (op) {
    case MATH_ADD: return add(a, b);
    case MATH_SUBTRACT: return subtract(a, b);
    case MATH_MULTIPLY: return multiply(a, b);
    case MATH_DIVIDE: return divide(a, b);
    default: return remainder(a, b);
  }
}

// A math operand as money.
Cell operand(const Cell& v) {
  switch (v.type()) {
    case TYPE_MONEY: return v;
    case TYPE_INTEGER: return from_integer(v.i2());
    case TYPE_FLOAT:
    case TYPE_PERCENT: return from_float(v.f64(), false);
    default: fire(ErrId::INVALID_TYPE, datatype_cell(v.type()));
  }
}

}  // namespace

Status do_math(Cell* base, int op) {
  using enum act::add::Frame;
  const Cell& l = base[VALUE1];
  const Cell& r = base[VALUE2];
  bool both = l.is(TYPE_MONEY) && r.is(TYPE_MONEY);
  if ((op == MATH_MULTIPLY && both) || ((op == MATH_DIVIDE || op == MATH_REMAINDER) && !l.is(TYPE_MONEY)))
    fire(ErrId::INVALID_TYPE, datatype_cell(l.type()));
  Cell a = operand(l);
  Cell b = operand(r);
  uint32_t ca = currency(a), cb = currency(b);
  if (ca && cb && ca != cb) fire(ErrId::WRONG_DENOM, l, r);
  Amount result = compute(amount_of(a), amount_of(b), op);
  Cell m = cell_of(result.negative, result.u, cb ? cb : ca);
  base[RESULT] = op == MATH_DIVIDE && both ? float_cell(to_float(m)) : m;
  return Status::OK;
}

// --- comparison ------------------------------------------------------------------------------

namespace {

int32_t compare_amounts(const Cell& a, const Cell& b) {
  int sa = sign_of(a), sb = sign_of(b);
  if (sa != sb) return sa < sb ? -1 : 1;
  Units x = units(a), y = units(b);
  int32_t r = (x > y) - (x < y);
  return sa < 0 ? -r : r;
}

int32_t compare_codes(uint32_t a, uint32_t b) {
  char x[8], y[8];
  currency_code(a, x);
  currency_code(b, y);
  int r = std::strcmp(x, y);
  return (r > 0) - (r < 0);
}

}  // namespace

int32_t compare(const Cell* a, const Cell* b, int op) {
  bool exact = op == CMP_STRICT_EQUAL || op == CMP_SAME || op == CMP_FIND;
  if (exact && !b->is(TYPE_MONEY)) return 1;
  Cell other;
  switch (b->type()) {
    case TYPE_MONEY: {
      uint32_t ca = currency(*a), cb = currency(*b);
      switch (op) {
        case CMP_LESSER:
        case CMP_LESSER_OR_EQUAL:
        case CMP_GREATER:
        case CMP_GREATER_OR_EQUAL:
          if (ca && cb && ca != cb) fire(ErrId::WRONG_DENOM, *a, *b);
          break;
        case CMP_SORT:
        case CMP_CASE_SORT:
          if (ca != cb) return compare_codes(ca, cb);
          break;
        default:
          if (exact ? ca != cb : (ca && cb && ca != cb)) return 1;
          break;
      }
      other = *b;
      break;
    }
    case TYPE_INTEGER:
      other = from_integer(b->i2());
      break;
    case TYPE_FLOAT: {
      double x = b->f64();
      // Beyond the amounts money holds, the float's sign decides; below its
      // smallest unit, money's own sign does (a zero amount against the
      // float's sign).
      if (float_overflow_q(x) && !std::isnan(x)) return x > 0 ? -1 : 1;
      if (float_underflow_q(x)) {
        int s = sign_of(*a);
        return s ? s : (x > 0 ? -1 : 1);
      }
      other = from_float(x, true);
      break;
    }
    default:
      return CMP_INCOMPARABLE;
  }
  return compare_amounts(*a, other);
}

// --- text -----------------------------------------------------------------------------------

int format_text(const Cell& c, bool all_decimals, char* out) {
  int n = 0;
  if (sign_of(c) < 0) out[n++] = '-';
  n += currency_code(currency(c), out + n);
  out[n++] = '$';
  char digits[DIGITS];
  Units u = units(c);
  for (int i = DIGITS - 1; i >= 0; i--, u /= 10) digits[i] = char('0' + int(u % 10));
  int first = 0;
  while (first < INT_DIGITS && digits[first] == '0') first++;
  if (first == INT_DIGITS) {
    out[n++] = '0';
  } else {
    std::memcpy(out + n, digits + first, size_t(INT_DIGITS - first));
    n += INT_DIGITS - first;
  }
  int decimals = money_digits();
  if (all_decimals || decimals > FRAC_DIGITS) decimals = FRAC_DIGITS;
  if (decimals >= 1) {
    out[n++] = '.';
    std::memcpy(out + n, digits + INT_DIGITS, size_t(decimals));
    n += decimals;
  }
  out[n] = 0;
  return n;
}

may_gc int32_t format(const Cell& c, NodeId out, int32_t part, bool all_decimals) {
  char text[48];
  int n = format_text(c, all_decimals, text);
  append_latin1(out, std::string_view(text, size_t(n)));
  return part - n;
}

// --- actions -----------------------------------------------------------------------------------
namespace {

[[noreturn]] void bad_make(const Cell& spec) { fire(ErrId::BAD_MAKE_ARG, datatype_cell(TYPE_MONEY), spec); }

// The whole text from its index through the money scanner; false when it
// holds no money.
bool from_text(const Cell& spec, Cell* out) {
  Buffer* b = node_buffer(spec.node());
  uint32_t len = b->length();
  uint32_t index = spec.index() < 0 ? 0 : uint32_t(spec.index());
  if (index >= len) return false;
  numscan::MoneyText t;
  if (numscan::scan_money(b->head_ptr() + (size_t(index) << b->unit_shift()), len - index, b->unit(), &t) != 0)
    return false;
  return make_at(out, t.negative, t.code, t.digits, t.fraction);
}

Status money_to(Cell* base) {
  using enum act::to::Frame;
  const Cell& spec = base[SPEC];
  Cell c;
  switch (spec.type()) {
    case TYPE_MONEY: c = spec; break;
    case TYPE_INTEGER: c = from_integer(spec.i2()); break;
    case TYPE_FLOAT: c = from_float(spec.f64(), false); break;
    default:
      // Refused specs go back as a status: scripts meet them under try.
      if (!is_any_string(spec.type()) || !from_text(spec, &c))
        return fail(ErrId::BAD_TO_ARG, datatype_cell(TYPE_MONEY), spec);
  }
  c.clear_new_line();
  base[RESULT] = c;
  return Status::OK;
}

// [currency amount fraction]: the code is optional, the fraction (five
// decimals as an integer) only follows an integer amount.
Cell from_block(const Cell& spec) {
  Buffer* b = spec.node() ? node_buffer(spec.node()) : nullptr;
  uint32_t len = b ? b->length() : 0;
  uint32_t index = spec.index() < 0 ? 0 : uint32_t(spec.index());
  uint32_t n = index < len ? len - index : 0;
  if (n < 1 || n > 3) bad_make(spec);
  Cell v[3];
  for (uint32_t i = 0; i < n; i++) v[i] = b->cells()[index + i];
  uint32_t i = 0, cur = 0;
  if (v[0].is(TYPE_WORD)) {
    int32_t k = currency_index(v[0]);
    if (k < 1) bad_make(spec);
    cur = uint32_t(k);
    i++;
  }
  if (i >= n) bad_make(spec);
  Cell m;
  if (v[i].is(TYPE_INTEGER)) {
    m = from_integer(v[i].i2());
    if (++i < n) {
      if (!v[i].is(TYPE_INTEGER) || v[i].i2() < 0 || v[i].i2() > FRACTION_MAX) bad_make(spec);
      Units u = units(m) + Units(uint32_t(v[i].i2()));
      m = cell_of(get_sign(m) != 0, u, 0);
      i++;
    }
  } else if (v[i].is(TYPE_FLOAT)) {
    m = from_float(v[i].f64(), true);
    i++;
  } else {
    bad_make(spec);
  }
  if (i != n) bad_make(spec);
  set_currency(&m, cur);
  return m;
}

Status money_make(Cell* base) {
  using enum act::make::Frame;
  const Cell& spec = base[SPEC];
  if (spec.is(TYPE_WORD)) {
    int32_t k = currency_index(spec);
    if (k < 1) bad_make(spec);
    Cell c = zero_cell();
    set_currency(&c, uint32_t(k));
    base[RESULT] = c;
    return Status::OK;
  }
  if (spec.is(TYPE_BLOCK)) {
    base[RESULT] = from_block(spec);
    return Status::OK;
  }
  return money_to(base);
}

int32_t money_form(Cell v, NodeId out, const Cell*, int32_t part) { return format(v, out, part, false); }

int32_t money_mold(Cell v, NodeId out, uint32_t flags, const Cell*, int32_t part, int32_t) {
  return format(v, out, part, (flags & MOLD_ALL) != 0);
}

int32_t money_compare(const Cell* a, const Cell* b, int op) { return compare(a, b, op); }

template <MathOp OP>
Status money_math(Cell* base) {
  return do_math(base, OP);
}

Status money_absolute(Cell* base) {
  using enum act::absolute::Frame;
  set_sign(&base[VALUE], 0);
  return Status::OK;
}

Status money_negate(Cell* base) {
  using enum act::negate::Frame;
  set_sign(&base[NUMBER], !get_sign(base[NUMBER]));
  return Status::OK;
}

inline int last_integral_digit(const Cell& c) { return int(units(c) / kUnit % 10); }

Status money_even_q(Cell* base) {
  using enum act::even_q::Frame;
  base[RESULT] = logic_cell(last_integral_digit(base[NUMBER]) % 2 == 0);
  return Status::OK;
}

Status money_odd_q(Cell* base) {
  using enum act::odd_q::Frame;
  base[RESULT] = logic_cell(last_integral_digit(base[NUMBER]) % 2 != 0);
  return Status::OK;
}

// The scale of round/to as money.
Cell round_scale(const Cell& s) {
  switch (s.type()) {
    case TYPE_MONEY: return s;
    case TYPE_INTEGER: return from_integer(s.i2());
    case TYPE_FLOAT: return from_float(s.f64(), true);
    default: fire(ErrId::NOT_RELATED, error::get_call(), datatype_cell(s.type()));
  }
}

Status money_round(Cell* base) {
  using enum act::round::Frame;
  Cell v = base[N];
  Units scale = truthy(base[TO]) ? units(round_scale(base[SCALE])) : kUnit;
  Units m = units(v);
  if (!m || !scale) return Status::OK;
  bool negative = get_sign(v) != 0;
  Units r = m % scale;
  if (!r) return Status::OK;  // already a multiple: no way to go
  bool even = truthy(base[EVEN]), down = truthy(base[DOWN]), half_down = truthy(base[HALF_DOWN]);
  bool floor = truthy(base[FLOOR]), ceiling = truthy(base[CEILING]), half_ceiling = truthy(base[HALF_CEILING]);
  bool half = r * 2 == scale;
  bool nearest_up = r * 2 >= scale;
  bool up;
  if (down) up = false;
  else if (floor) up = negative;
  else if (ceiling) up = !negative;
  else if (even && half) up = last_integral_digit(v) % 2 != 0;
  else if (half_down && half) up = false;
  else if (half_ceiling && half) up = !negative;
  else up = nearest_up;
  Units result = up ? m + (scale - r) : m - r;
  base[RESULT] = cell_of(negative, result, currency(v));
  return Status::OK;
}

// Digits from the most significant down: each drawn below or at its
// bound; once one falls below, the rest are free.
Status money_random(Cell* base) {
  using enum act::random::Frame;
  Cell v = base[VALUE];
  bool secure = truthy(base[SECURE]);
  if (truthy(base[SEED])) {
    random::seed(int32_t(v.w1 ^ v.w2 ^ v.w3 ^ uint32_t(get_sign(v))));
    base[RESULT] = UNSET_VALUE;
    return Status::OK;
  }
  auto draw = [secure] { return uint32_t(secure ? random::secure_next() : random::next()); };
  Units m = units(v);
  char digits[DIGITS];
  for (int i = DIGITS - 1; i >= 0; i--, m /= 10) digits[i] = char(m % 10);
  int first = 0;
  while (first < DIGITS && !digits[first]) first++;
  bool free = false;
  for (int i = first; i < DIGITS; i++) {
    if (free) {
      digits[i] = char(draw() % 10);
      continue;
    }
    uint32_t f = uint32_t(digits[i]);
    if (!f) continue;  // a zero bound allows nothing else
    for (;;) {
      uint32_t g = draw() % (f + 1);
      if (g < f) {
        digits[i] = char(g);
        free = true;
        break;
      }
      if (draw() % 1000 == draw() % 1000) break;  // keep the bound digit
    }
  }
  Units u = 0;
  for (int i = 0; i < DIGITS; i++) u = u * 10 + Units(digits[i]);
  base[RESULT] = cell_of(get_sign(v) != 0, u, currency(v));
  return Status::OK;
}

// 1 code, 2 amount, 0 anything else.
int field_index(const Cell& e) {
  if (e.is(TYPE_INTEGER)) return e.i2() == 1 || e.i2() == 2 ? e.i2() : 0;
  if (!e.is(TYPE_WORD)) return 0;
  uint32_t s = symbol::resolve(e.w2);
  if (s == sym(SymId::CODE)) return 1;
  if (s == sym(SymId::AMOUNT)) return 2;
  return 0;
}

may_gc Cell field(const Cell& v, int f) {
  if (f == 2) {
    Cell c = v;
    set_currency(&c, 0);
    c.clear_new_line();
    return c;
  }
  char code[8];
  int n = currency_code(currency(v), code);
  if (!n) return none_cell();
  return word::load(std::string_view(code, size_t(n)));
}

Status money_pick(Cell* base) {
  using enum act::pick::Frame;
  int f = field_index(base[INDEX]);
  if (!f) fire(ErrId::OUT_OF_RANGE, base[INDEX]);
  Cell v = base[SERIES];
  base[RESULT] = field(v, f);
  return Status::OK;
}

may_gc Cell money_eval_path(const Cell& value, const Cell& selector, const Cell* set_value, const PathStep& step) {
  int f = field_index(selector);
  if (!f || !selector.is(TYPE_WORD)) fire(ErrId::INVALID_PATH, step.path ? *step.path : none_cell(), selector);
  if (set_value) fire(ErrId::BAD_PATH_SET, step.path ? *step.path : none_cell(), selector);
  return field(value, f);
}

}  // namespace

}  // namespace vel::money

namespace vel {

void register_type_MONEY() {
  using namespace money;
  TypeBuilder(TYPE_MONEY)
      .action(ACT_MAKE, money_make)
      .action(ACT_RANDOM, money_random)
      .action(ACT_TO, money_to)
      .form(money_form)
      .mold(money_mold)
      .eval_path(money_eval_path)
      .compare(money_compare)
      .action(ACT_ABSOLUTE, money_absolute)
      .action(ACT_ADD, money_math<MATH_ADD>)
      .action(ACT_DIVIDE, money_math<MATH_DIVIDE>)
      .action(ACT_MULTIPLY, money_math<MATH_MULTIPLY>)
      .action(ACT_NEGATE, money_negate)
      .action(ACT_REMAINDER, money_math<MATH_REMAINDER>)
      .action(ACT_ROUND, money_round)
      .action(ACT_SUBTRACT, money_math<MATH_SUBTRACT>)
      .action(ACT_EVEN_Q, money_even_q)
      .action(ACT_ODD_Q, money_odd_q)
      .action(ACT_PICK, money_pick)
      .done();
}

}  // namespace vel
