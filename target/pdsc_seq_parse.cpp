// The debug sequence language, parsing: a lexer over a block's text, the
// expression grammar by precedence climbing, statements and calls, and the
// walk over a sequence element's block and control children. Every node comes
// from the sequence's own pool; malformed text only yields fewer nodes.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "target/pdsc_priv.h"

namespace {

enum DslTokType {
    DTOK_EOF = 0,
    DTOK_IDENT = 1,
    DTOK_NUMBER = 2,
    DTOK_STRING = 3,
    DTOK_OP = 4,
    DTOK_SEMI = 5,
    DTOK_LPAREN = 6,
    DTOK_RPAREN = 7,
    DTOK_COMMA = 8,
    DTOK_ERROR = 9,
};

struct DslToken {
    DslTokType type;
    char str[64];
    uint64_t num;
    char op[4];
};

struct DslLex {
    const char* src;
    size_t len, pos;
    DslToken putback;
    bool has_putback;
};

// Parentheses and unary operators nest by recursion through all twelve
// levels; a body of "((((..." must not run the stack out, and no real
// sequence comes near this.
constexpr int kMaxExprNesting = 48;

struct DslParser {
    DslLex lex;
    PdscSequence* seq;
    int nesting;
};

void copy_name(char* dst, const char* src, size_t cap) {
    std::snprintf(dst, cap, "%s", src);
}

bool is_ident_start(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }
int hex_val(char c) {
    if (is_digit(c)) return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

void dsl_init(DslLex* lx, const char* text) {
    std::memset(lx, 0, sizeof *lx);
    lx->src = text ? text : "";
    lx->len = std::strlen(lx->src);
}

void skip_space_and_comments(DslLex* lx) {
    const char* s = lx->src;
    while (lx->pos < lx->len) {
        char c = s[lx->pos];
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v') {
            ++lx->pos;
        } else if (c == '/' && lx->pos + 1 < lx->len && s[lx->pos + 1] == '/') {
            while (lx->pos < lx->len && s[lx->pos] != '\n') ++lx->pos;
        } else if (c == '/' && lx->pos + 1 < lx->len && s[lx->pos + 1] == '*') {
            const char* end = std::strstr(s + lx->pos + 2, "*/");
            lx->pos = end ? static_cast<size_t>(end - s) + 2 : lx->len;
        } else {
            break;
        }
    }
}

void dsl_next_token(DslLex* lx, DslToken* t) {
    std::memset(t, 0, sizeof *t);
    skip_space_and_comments(lx);
    const char* s = lx->src;
    if (lx->pos >= lx->len) {
        t->type = DTOK_EOF;
        return;
    }
    char c = s[lx->pos];
    if (is_digit(c)) {
        t->type = DTOK_NUMBER;
        if (c == '0' && lx->pos + 1 < lx->len && (s[lx->pos + 1] == 'x' || s[lx->pos + 1] == 'X')) {
            lx->pos += 2;
            for (int kept = 2; lx->pos < lx->len && hex_val(s[lx->pos]) >= 0; ++lx->pos, ++kept)
                if (kept < 18) t->num = (t->num << 4) | static_cast<uint64_t>(hex_val(s[lx->pos]));
        } else {
            for (int kept = 0; lx->pos < lx->len && is_digit(s[lx->pos]); ++lx->pos, ++kept)
                if (kept < 20) t->num = t->num * 10 + static_cast<uint64_t>(s[lx->pos] - '0');
            while (lx->pos < lx->len && s[lx->pos] && std::strchr("UuLl", s[lx->pos])) ++lx->pos;
        }
        return;
    }
    if (is_ident_start(c)) {
        t->type = DTOK_IDENT;
        size_t n = 0;
        while (lx->pos < lx->len && (is_ident_start(s[lx->pos]) || is_digit(s[lx->pos]))) {
            if (n < sizeof t->str - 1) t->str[n++] = s[lx->pos];
            ++lx->pos;
        }
        return;
    }
    if (c == '"') {
        t->type = DTOK_STRING;
        size_t n = 0;
        ++lx->pos;
        while (lx->pos < lx->len && s[lx->pos] != '"') {
            char ch = s[lx->pos++];
            if (ch == '\\' && lx->pos < lx->len) {
                ch = s[lx->pos++];
                ch = ch == 'n' ? '\n' : ch == 't' ? '\t' : ch;
            }
            if (n < sizeof t->str - 1) t->str[n++] = ch;
        }
        if (lx->pos < lx->len) ++lx->pos;  // the closing quote
        return;
    }
    ++lx->pos;
    switch (c) {
    case ';': t->type = DTOK_SEMI; return;
    case '(': t->type = DTOK_LPAREN; return;
    case ')': t->type = DTOK_RPAREN; return;
    case ',': t->type = DTOK_COMMA; return;
    default: break;
    }
    t->type = DTOK_OP;
    t->op[0] = c;
    if (lx->pos < lx->len) {
        static const char* const kPairs[] = {"<<", ">>", "==", "!=", "<=", ">=", "&&", "||"};
        for (const char* p : kPairs)
            if (p[0] == c && p[1] == s[lx->pos]) {
                t->op[1] = s[lx->pos++];
                break;
            }
    }
    // Compound assignments ("value |= 0x00670000;", "value &= ~0x00100000;")
    // are in ST's own packs, so "|=" is one token and not "|" then "=".
    const bool arith = t->op[1] == 0 ? std::strchr("+-*/%&|^", c) != nullptr : (t->op[0] == t->op[1] && (c == '<' || c == '>'));
    if (arith && lx->pos < lx->len && s[lx->pos] == '=') t->op[std::strlen(t->op)] = s[lx->pos++];
}

const DslToken* dsl_peek(DslLex* lx) {
    if (!lx->has_putback) {
        dsl_next_token(lx, &lx->putback);
        lx->has_putback = true;
    }
    return &lx->putback;
}

void dsl_get(DslLex* lx, DslToken* t) {
    if (lx->has_putback) {
        *t = lx->putback;
        lx->has_putback = false;
    } else {
        dsl_next_token(lx, t);
    }
}

bool peek_is_op(DslLex* lx, const char* op) {
    const DslToken* t = dsl_peek(lx);
    return t->type == DTOK_OP && std::strcmp(t->op, op) == 0;
}

SeqNode* seq_alloc(PdscSequence* seq) {
    if (!seq) return nullptr;
    if (seq->pool_used >= SEQ_POOL_NODES) {
        seq->truncated = true;
        return nullptr;
    }
    SeqNode* n = &seq->pool[seq->pool_used++];
    std::memset(n, 0, sizeof *n);
    return n;
}

SeqNode* new_node(DslParser* p, SeqNodeType type) {
    SeqNode* n = seq_alloc(p->seq);
    if (n) n->type = type;
    return n;
}

// --- expressions ---------------------------------------------------------------

SeqNode* dsl_parse_expr(DslParser* p);

struct CallName {
    const char* name;
    SeqNodeType type;
};
const CallName kCalls[] = {
    {"Read32", SEQ_READ32},        {"Write32", SEQ_WRITE32},   {"ReadDP", SEQ_READ_DP},
    {"WriteDP", SEQ_WRITE_DP},     {"ReadAP", SEQ_READ_AP},    {"WriteAP", SEQ_WRITE_AP},
    {"DAP_Delay", SEQ_DAP_DELAY},  {"DAP_SWJ_Pins", SEQ_DAP_SWJ_PINS},
    {"Sequence", SEQ_SEQUENCE},    {"Message", SEQ_MESSAGE},
};

// After the identifier; the "(" is next. A missing argument stays null and
// counts as 0 when run.
SeqNode* parse_call(DslParser* p, const char* ident) {
    SeqNodeType type = SEQ_SEQUENCE;
    bool by_name = true;
    for (const CallName& c : kCalls)
        if (std::strcmp(c.name, ident) == 0) {
            type = c.type;
            by_name = false;
        }
    DslToken t;
    dsl_get(&p->lex, &t);  // "("
    SeqNode* call = new_node(p, type);
    if (!call) return nullptr;
    if (by_name) copy_name(call->u.name, ident, sizeof call->u.name);
    const bool strings_ok = !by_name && (type == SEQ_SEQUENCE || type == SEQ_MESSAGE);
    if (dsl_peek(&p->lex)->type == DTOK_RPAREN) {
        dsl_get(&p->lex, &t);
        return call;
    }
    for (int argc = 0;; ++argc) {
        const DslToken* nx = dsl_peek(&p->lex);
        if (nx->type == DTOK_EOF) break;
        if (strings_ok && nx->type == DTOK_STRING) {
            dsl_get(&p->lex, &t);
            if (type == SEQ_SEQUENCE && call->u.name[0] == 0) copy_name(call->u.name, t.str, sizeof call->u.name);
        } else {
            SeqNode* arg = dsl_parse_expr(p);
            if (arg && argc < 3) call->child[argc] = arg;
        }
        if (dsl_peek(&p->lex)->type != DTOK_COMMA) break;
        dsl_get(&p->lex, &t);
    }
    if (dsl_peek(&p->lex)->type == DTOK_RPAREN) dsl_get(&p->lex, &t);
    return call;
}

SeqNode* parse_unary(DslParser* p);

SeqNode* parse_atom(DslParser* p) {
    DslToken t;
    dsl_get(&p->lex, &t);
    if (t.type == DTOK_NUMBER) {
        SeqNode* n = new_node(p, SEQ_LITERAL);
        if (n) n->u.literal = t.num;
        return n;
    }
    if (t.type == DTOK_IDENT) {
        if (dsl_peek(&p->lex)->type == DTOK_LPAREN) return parse_call(p, t.str);
        SeqNode* n = new_node(p, SEQ_VAR_REF);
        if (n) copy_name(n->u.name, t.str, sizeof n->u.name);
        return n;
    }
    if (t.type == DTOK_LPAREN) {
        SeqNode* inner = dsl_parse_expr(p);
        DslToken close;
        dsl_get(&p->lex, &close);
        return inner;
    }
    return nullptr;
}

SeqNode* parse_unary(DslParser* p) {
    const DslToken* t = dsl_peek(&p->lex);
    PdscOp op = PDSC_OP_NONE;
    if (t->type == DTOK_OP && t->op[1] == 0) {
        op = t->op[0] == '!' ? PDSC_OP_LNOT : t->op[0] == '~' ? PDSC_OP_NOT : t->op[0] == '-' ? PDSC_OP_SUB : PDSC_OP_NONE;
    }
    if (op == PDSC_OP_NONE) return parse_atom(p);
    DslToken tok;
    dsl_get(&p->lex, &tok);
    SeqNode* operand = ++p->nesting > kMaxExprNesting ? nullptr : parse_unary(p);
    --p->nesting;
    if (!operand) return nullptr;
    SeqNode* n = new_node(p, SEQ_UNOP);
    if (!n) return nullptr;
    n->u.op = op;
    n->child[0] = operand;
    return n;
}

struct BinOp {
    const char* text;
    PdscOp op;
    int level;  // 2 (||) binds loosest ... 11 (* / %) tightest
};
const BinOp kBinOps[] = {
    {"||", PDSC_OP_LOR, 2}, {"&&", PDSC_OP_LAND, 3}, {"|", PDSC_OP_OR, 4},   {"^", PDSC_OP_XOR, 5},
    {"&", PDSC_OP_AND, 6},  {"==", PDSC_OP_EQ, 7},   {"!=", PDSC_OP_NEQ, 7}, {"<", PDSC_OP_LT, 8},
    {">", PDSC_OP_GT, 8},   {"<=", PDSC_OP_LE, 8},   {">=", PDSC_OP_GE, 8},  {"<<", PDSC_OP_SHL, 9},
    {">>", PDSC_OP_SHR, 9}, {"+", PDSC_OP_ADD, 10},  {"-", PDSC_OP_SUB, 10}, {"*", PDSC_OP_MUL, 11},
    {"/", PDSC_OP_DIV, 11}, {"%", PDSC_OP_MOD, 11},
};

const BinOp* peek_binop(DslParser* p, int level) {
    const DslToken* t = dsl_peek(&p->lex);
    if (t->type != DTOK_OP) return nullptr;
    for (const BinOp& b : kBinOps)
        if (b.level == level && std::strcmp(b.text, t->op) == 0) return &b;
    return nullptr;
}

// Left-associative binary levels 2 .. 11; 12 is the unary level.
SeqNode* parse_binary(DslParser* p, int level) {
    if (level > 11) return parse_unary(p);
    SeqNode* left = parse_binary(p, level + 1);
    while (left) {
        const BinOp* b = peek_binop(p, level);
        if (!b) break;
        DslToken t;
        dsl_get(&p->lex, &t);
        SeqNode* right = parse_binary(p, level + 1);
        if (!right) return nullptr;
        SeqNode* n = new_node(p, SEQ_BINOP);
        if (!n) return nullptr;
        n->u.op = b->op;
        n->child[0] = left;
        n->child[1] = right;
        left = n;
    }
    return left;
}

// Level 1: assignment, right-associative.
SeqNode* dsl_parse_expr(DslParser* p) {
    if (++p->nesting > kMaxExprNesting) {
        --p->nesting;
        return nullptr;
    }
    SeqNode* left = parse_binary(p, 2);
    const DslToken* nx = dsl_peek(&p->lex);
    const size_t oplen = nx->type == DTOK_OP ? std::strlen(nx->op) : 0;
    const bool compound = oplen >= 2 && nx->op[oplen - 1] == '=' && nx->op[0] != '=' && nx->op[0] != '!' &&
                          !(oplen == 2 && (nx->op[0] == '<' || nx->op[0] == '>'));
    if (left && (compound || peek_is_op(&p->lex, "="))) {
        DslToken t;
        dsl_get(&p->lex, &t);
        SeqNode* value = dsl_parse_expr(p);
        if (value && compound) {  // x op= e is x = x op e
            t.op[oplen - 1] = 0;
            SeqNode* b = new_node(p, SEQ_BINOP);
            if (b) {
                for (const BinOp& o : kBinOps)
                    if (std::strcmp(o.text, t.op) == 0) b->u.op = o.op;
                b->child[0] = left;
                b->child[1] = value;
            }
            value = b;
        }
        SeqNode* n = value ? new_node(p, SEQ_ASSIGN) : nullptr;
        if (n) {
            if (left->type == SEQ_VAR_REF) copy_name(n->u.name, left->u.name, sizeof n->u.name);
            n->child[0] = value;
        }
        left = n;
    }
    --p->nesting;
    return left;
}

// --- statements ------------------------------------------------------------------

SeqNode* dsl_parse_stmt(DslParser* p) {
    const DslToken* t = dsl_peek(&p->lex);
    SeqNode* n = nullptr;
    DslToken tok;
    if (t->type == DTOK_IDENT && std::strcmp(t->str, "__var") == 0) {
        dsl_get(&p->lex, &tok);
        DslToken name;
        dsl_get(&p->lex, &name);
        if (name.type != DTOK_IDENT) return nullptr;
        SeqNode* init = nullptr;
        if (peek_is_op(&p->lex, "=")) {
            dsl_get(&p->lex, &tok);
            init = dsl_parse_expr(p);
            if (!init) return nullptr;
        }
        n = new_node(p, SEQ_VAR_DECL);
        if (!n) return nullptr;
        copy_name(n->u.name, name.str, sizeof n->u.name);
        n->child[0] = init;
    } else {
        n = dsl_parse_expr(p);
        if (!n) return nullptr;
    }
    if (dsl_peek(&p->lex)->type == DTOK_SEMI) dsl_get(&p->lex, &tok);
    return n;
}

SeqNode* parse_statements(DslParser* p) {
    SeqNode* first = nullptr;
    SeqNode** tail = &first;
    while (dsl_peek(&p->lex)->type != DTOK_EOF) {
        SeqNode* s = dsl_parse_stmt(p);
        if (!s) break;  // a statement that makes no node ends the block
        *tail = s;
        tail = &s->next;
    }
    return first;
}

// --- the XML body ---------------------------------------------------------------

uint32_t parse_timeout(const char* s) {
    if (!s || !*s) return 0;
    const bool hex = s[0] == '0' && (s[1] == 'x' || s[1] == 'X');
    unsigned long long v = std::strtoull(hex ? s + 2 : s, nullptr, hex ? 16 : 10);
    return v > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<uint32_t>(v);
}

// A condition attribute: empty or missing is the literal 1; text that makes
// no expression gives null and the control is dropped.
SeqNode* parse_condition(const char* text, PdscSequence* seq) {
    DslParser p{};
    dsl_init(&p.lex, text);
    p.seq = seq;
    if (dsl_peek(&p.lex)->type == DTOK_EOF) {
        SeqNode* one = new_node(&p, SEQ_LITERAL);
        if (one) one->u.literal = 1;
        return one;
    }
    return dsl_parse_expr(&p);
}

void append(SeqNode** tail_slot, SeqNode* chain) {
    SeqNode** t = tail_slot;
    while (*t) t = &(*t)->next;
    *t = chain;
}

SeqNode* parse_control(const pugi::xml_node& elem, PdscSequence* seq, int depth) {
    if (depth > SEQ_MAX_DEPTH) return nullptr;
    pugi::xml_attribute w = elem.attribute("while");
    pugi::xml_attribute gate = elem.attribute("if");
    SeqNode* node = seq_alloc(seq);
    if (!node) return nullptr;
    node->type = w ? SEQ_WHILE : SEQ_IF;
    node->child[0] = parse_condition(w ? w.value() : gate.value(), seq);
    if (!node->child[0]) return nullptr;
    if (w) node->timeout_us = parse_timeout(elem.attribute("timeout").value());
    node->child[1] = parse_sequence_node(elem, seq, depth);
    if (!node->child[1]) return nullptr;
    if (!w || !gate) return node;
    // Both attributes: the format runs the loop only when `if` holds (its own
    // reset sequences wait on nRESET only when the pins can be read).
    SeqNode* outer = seq_alloc(seq);
    if (!outer) return nullptr;
    outer->type = SEQ_IF;
    outer->child[0] = parse_condition(gate.value(), seq);
    outer->child[1] = node;
    return outer->child[0] ? outer : nullptr;
}

}  // namespace

SeqNode* dsl_parse_block_text(const char* text, PdscSequence* seq) {
    DslParser p{};
    dsl_init(&p.lex, text);
    p.seq = seq;
    return parse_statements(&p);
}

SeqNode* parse_sequence_node(const pugi::xml_node& elem, PdscSequence* seq, int depth) {
    SeqNode* block = seq_alloc(seq);
    if (!block) return nullptr;
    block->type = SEQ_BLOCK;
    for (pugi::xml_node child = elem.first_child(); child; child = child.next_sibling()) {
        if (child.type() != pugi::node_element) continue;
        const char* tag = child.name();
        if (std::strcmp(tag, "block") == 0) {
            char text[SEQ_BLOCK_TEXT + 1];
            size_t n = 0;
            bool cut = false;
            for (pugi::xml_node piece = child.first_child(); piece; piece = piece.next_sibling()) {
                if (piece.type() != pugi::node_pcdata && piece.type() != pugi::node_cdata) continue;
                const char* v = piece.value();
                size_t len = std::strlen(v);
                if (n + len > SEQ_BLOCK_TEXT) {
                    len = SEQ_BLOCK_TEXT - n;
                    cut = true;
                }
                std::memcpy(text + n, v, len);
                n += len;
                if (cut) break;
            }
            text[n] = 0;
            // A cut body keeps its statements up to the last ";" before the
            // cut: the lexer would otherwise read "Write32(a, 0x12" cut from
            // "0x1234" as a whole call, since ")" and ";" are optional. What
            // is left after it is then nothing, or a comment or string that
            // runs to the end, and the block ends there.
            if (cut) {
                char* semi = std::strrchr(text, ';');
                *(semi ? semi + 1 : text) = 0;
            }
            append(&block->child[0], dsl_parse_block_text(text, seq));
        } else if (std::strcmp(tag, "control") == 0) {
            SeqNode* c = parse_control(child, seq, depth + 1);
            if (c) append(&block->child[0], c);
        }
    }
    return block;
}

void parse_debugvars_text(const char* text, PdscDevice* dev) {
    if (!dev) return;
    DslLex lx;
    dsl_init(&lx, text);
    DslToken t;
    for (;;) {
        dsl_get(&lx, &t);
        if (t.type == DTOK_EOF) return;
        if (t.type == DTOK_IDENT && std::strcmp(t.str, "__var") == 0 && dsl_peek(&lx)->type == DTOK_IDENT) {
            DslToken name;
            dsl_get(&lx, &name);
            uint64_t value = 0;
            if (peek_is_op(&lx, "=")) {
                dsl_get(&lx, &t);
                dsl_get(&lx, &t);
                if (t.type == DTOK_NUMBER) {
                    value = t.num;
                } else if (t.type == DTOK_OP && std::strcmp(t.op, "-") == 0 && dsl_peek(&lx)->type == DTOK_NUMBER) {
                    dsl_get(&lx, &t);
                    value = 0 - t.num;
                }
            }
            if (dsl_peek(&lx)->type == DTOK_SEMI) dsl_get(&lx, &t);
            if (dev->debug_var_count < PDSC_MAX_DEBUG_VARS) {
                PdscDebugVar* v = &dev->debug_vars[dev->debug_var_count++];
                copy_name(v->name, name.str, sizeof v->name);
                v->value = value;
            }
            continue;
        }
        while (t.type != DTOK_SEMI && t.type != DTOK_EOF) dsl_get(&lx, &t);
        if (t.type == DTOK_EOF) return;
    }
}
