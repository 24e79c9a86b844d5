#include "ui/panels.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "platform/paths.h"
#include "probe/probe.h"
#include "probe/watch_list.h"
#include "runctl/breakpoints.h"
#include "runctl/fault_analyze.h"
#include "ui/font.h"
#include "ui/layout.h"
#include "ui/panel.h"
#include "ui/plot_view.h"
#include "ui/text_field.h"

int g_var_tab = VAR_TAB_PICKER;
float g_var_scroll = 0, g_watch_scroll = 0, g_fault_scroll = 0;
int g_var_hovered = -1, g_watch_hovered = -1, g_bkpt_hovered = -1;
UiSymbols g_ui_symbols = {};

bool ui_elf_loaded() { return g_ui_symbols.elf_loaded && g_ui_symbols.elf_loaded(); }

const float* fp_col_label() { return &g_theme.titlebar_info.r; }
const float* fp_col_value() { return &g_theme.dbg_btn_step.r; }
const float* fp_col_warn() { return &g_theme.dbg_btn_reset.r; }

float fp_label_value(float x, float y, const char* label, const char* value, const float* vcol) {
    RenderText(label, x, y, fp_col_label());
    float vx = x + measure_text(label);
    RenderText(value, vx, y, vcol ? vcol : fp_col_value());
    return vx + measure_text(value);
}

void draw_panel_separator(float x, float y, float w) {
    Color3 c = g_theme.border_line;
    set_line_color(Color3{c.r * 0.6f, c.g * 0.6f, c.b * 0.6f});
    draw_line(x, y, x + w, y);
}

static void clip_to(const LayoutBox& box, float top, float bottom) {
    LayoutBox c = {box.x, top, box.w, std::max(0.0f, bottom - top), 0};
    begin_scissor(&c, window_h);
}

// --- Variables ------------------------------------------------------------------

static int watch_rows_of(int i) {
    const WatchEntry& w = g_watch[i];
    return 1 + (w.expanded ? watch_child_count(w.var) : 0);
}

float watch_content_height() {
    int rows = 0;
    for (int i = 0; i < std::min(g_watch_count, (int)WATCH_MAX); ++i) rows += watch_rows_of(i);
    return VAR_ROW_H * (float)rows;
}

int scope_row_at(double my) {
    float top = variables_box.y + VAR_LIST_TOP;
    if (my < top || my >= variables_box.y + variables_box.h) return -1;
    int row = (int)((g_var_scroll + (my - top)) / VAR_ROW_H);
    return row >= 0 && row < std::clamp(g_var_count, 0, (int)VAR_LIST_MAX) ? row : -1;
}

int watch_row_at(double my, int* member) {
    float top = variables_box.y + VAR_LIST_TOP, bottom = variables_box.y + variables_box.h;
    if (member) *member = -1;
    if (my < top || my >= bottom) return -1;
    float row_y = top - g_watch_scroll;
    for (int i = 0; i < std::min(g_watch_count, (int)WATCH_MAX); ++i) {
        int rows = watch_rows_of(i);
        for (int r = 0; r < rows; ++r, row_y += VAR_ROW_H) {
            if (row_y > bottom) return -1;
            if (my >= row_y && my < row_y + VAR_ROW_H) {
                if (member) *member = r - 1;
                return i;
            }
        }
    }
    return -1;
}

static void draw_var_tabs(const LayoutBox& b) {
    LayoutBox strip = {b.x, b.y + 18, b.w, 18, 0};
    draw_filled_rectangle(&strip, 13);
    float half = b.w / 2;
    const char* labels[2] = {"Scope", "Watch"};
    for (int t = 0; t < 2; ++t) {
        float hx = b.x + half * (float)t;
        bool active = g_var_tab == t;
        float lw = measure_text(labels[t]);
        RenderText(labels[t], hx + (half - lw) / 2, strip.y + 14,
                   active ? &g_theme.var_tab_active.r : &g_theme.var_tab_inactive.r);
        if (active) {
            set_line_color(g_theme.dbg_btn_step);
            draw_line(hx + 2, strip.y + 17, hx + half - 2, strip.y + 17);
        }
    }
    set_line_color(g_theme.var_tab_divider);
    draw_line(b.x + half, strip.y + 2, b.x + half, strip.y + 16);
}

static void draw_scope_list(const LayoutBox& b, float top, float bottom) {
    int n = std::clamp(g_var_count, 0, (int)VAR_LIST_MAX);
    if (n == 0) {
        RenderText(ui_elf_loaded() ? "(no vars in scope)" : "(no ELF loaded)", b.x + 8, top + 20,
                   &g_theme.var_empty_hint.r);
        return;
    }
    int first = std::clamp((int)(g_var_scroll / VAR_ROW_H), 0, n);
    for (int i = first; i < n; ++i) {
        float row = top + VAR_ROW_H * (float)i - g_var_scroll;
        if (row > bottom) break;
        const ElfVariable& v = g_var_list[i];
        if (i == g_var_hovered)
            draw_rect(b.x + 1, row, b.w - 2, VAR_ROW_H, 1, g_theme.log_hover_row);
        RenderText(v.is_param ? "p" : "\xB7", b.x + 3, row + 17, &g_theme.var_marker.r);
        char text[200], shown[208];
        snprintf(text, sizeof text, "%.127s  %.63s", v.name, v.type_name);
        RenderText(text_fit_end(text, b.w - 16 - 14, shown, sizeof shown), b.x + 16, row + 17,
                   v.is_param ? &g_theme.var_name_param.r : &g_theme.var_name_local.r);
    }
}

static void draw_watch_list(const LayoutBox& b, float top, float bottom) {
    int n = std::min(g_watch_count, (int)WATCH_MAX);
    if (n == 0) {
        RenderText("(click Scope to add)", b.x + 8, top + 20, &g_theme.var_empty_hint.r);
        return;
    }
    float row = top - g_watch_scroll;
    for (int i = 0; i < n && row <= bottom; ++i) {
        const WatchEntry& w = g_watch[i];
        if (row + VAR_ROW_H >= top) {
            if (i == g_watch_hovered)
                draw_rect(b.x + 1, row, b.w - 2, VAR_ROW_H, 1, g_theme.log_hover_row);
            // A plotted watch carries its curve's colour at the row's edge.
            if (int slot = plot_view_find(w.id); slot >= 0) {
                const Color3& k = PLOT_CURVE_COLORS[slot];
                draw_rect(b.x + 2, row + 4, 3, 12, 0, Color4{k.r, k.g, k.b, 1});
            }
            float tx = b.x + 8;
            if (watch_child_count(w.var) > 0) {
                RenderText(w.expanded ? "[-]" : "[+]", b.x + 8, row + 17, &g_theme.var_expand_btn.r);
                // At least 16 px, and never into the expander in a wide font.
                tx += std::max(16.0f, measure_text("[-]") + 4);
            }
            char type[72];
            snprintf(type, sizeof type, " :%.63s", w.var.type_name);
            // A leading 0x01 marks a value that changed since the last refresh.
            bool changed = (unsigned char)w.value[0] == 0x01;
            char value[160];
            snprintf(value, sizeof value, "%s", changed ? w.value + 1 : w.value);
            // Short of room a scalar keeps its typed part: "2.718..." over "0x4005BF0A...".
            char* typed = value[0] == '0' && value[strlen(value) - 1] == ')' ? strstr(value, "  (") : nullptr;
            // A long name leaves the value at least a short number's room.
            const float right = b.x + b.w - 18;
            char name[136];
            float value_min = std::min(measure_text(typed ? typed + 3 : value), measure_text("0x00000000"));
            text_fit_end(w.var.name, right - 12 - value_min - tx, name, sizeof name);
            RenderText(name, tx, row + 17, &g_theme.var_watch_name.r);
            // The value gets the room after the name and type; a long one (a
            // structure's members) takes the type's place, then is cut with an ellipsis.
            float name_end = tx + measure_text(name), type_end = name_end + measure_text(type);
            bool show_type = right - (type_end + 12) >= std::min(measure_text(value), 120.0f);
            float room = right - ((show_type ? type_end : name_end) + 12);
            if (measure_text(value) > room && typed) {
                memmove(value, typed + 3, strlen(typed + 3) + 1);
                value[strlen(value) - 1] = 0;
            }
            char fitted[sizeof value];
            text_fit_end(value, room, fitted, sizeof fitted);
            memcpy(value, fitted, sizeof value);
            if (show_type) RenderText(type, name_end, row + 17, &g_theme.var_watch_type.r);
            float vx = right - measure_text(value);
            if (g_edit.active && g_edit.target.kind == EDIT_WATCH && g_edit.target.id == w.id) {
                // The field takes the value's place, at least half the row wide.
                float fx = std::min(vx, b.x + b.w / 2) - 4;
                text_field_draw(&g_edit, fx, row + 1, b.x + b.w - 16 - fx, VAR_ROW_H - 2);
            } else if (value[0] && measure_text(value) <= room)
                RenderText(value, vx, row + 17, changed ? &g_theme.log_text_changed.r : &g_theme.var_watch_value.r);
            RenderText("\xD7", b.x + b.w - 12, row + 17, &g_theme.var_watch_delete.r);
        }
        row += VAR_ROW_H;
        if (!w.expanded) continue;
        int children = watch_child_count(w.var);
        for (int m = 0; m < children && row <= bottom; ++m, row += VAR_ROW_H) {
            if (row + VAR_ROW_H < top) continue;
            char text[140];
            if (w.var.is_struct) snprintf(text, sizeof text, "  .%.127s", w.var.members[m].name);
            else snprintf(text, sizeof text, "  [%d]", m);
            float nx = b.x + 22;
            RenderText(text, nx, row + 17, &g_theme.var_member_name.r);
            // The value right-aligned; cut with an ellipsis where it would run into the name.
            const char* value = w.children[m].value;
            float room = b.x + b.w - 18 - (nx + measure_text(text) + 12);
            char shown[72];
            text_fit_end(value, room, shown, sizeof shown);
            if (room > 20) RenderText(shown, b.x + b.w - 18 - measure_text(shown), row + 17, &g_theme.var_member_offset.r);
        }
    }
}

void draw_variables_panel() {
    LayoutBox* b = &variables_box;
    if (b->w <= 0 || b->h <= 0) return;
    draw_layout_box(b, "Variables", nullptr, window_h, nullptr, 0);
    begin_scissor(b, window_h);
    draw_var_tabs(*b);
    end_scissor();
    float top = b->y + VAR_LIST_TOP, bottom = b->y + b->h;
    if (bottom <= top) return;
    clip_to(*b, top, bottom);
    if (g_var_tab == VAR_TAB_WATCH) draw_watch_list(*b, top, bottom);
    else draw_scope_list(*b, top, bottom);
    end_scissor();
}

// --- Call stack -----------------------------------------------------------------

void draw_stack_panel() {
    LayoutBox* b = &stack_box;
    if (b->w < 4 || b->h <= 0) return;
    draw_layout_box(b, "Call stack", nullptr, window_h, nullptr, 0);
    float tx = b->x + 6, bottom = b->y + b->h;
    clip_to(*b, b->y + 22, bottom);
    bool halted = g_is_halted.load() && !g_watch_halting.load();
    if (!halted) {
        {
            std::lock_guard<std::mutex> lk(reg_buf_mtx);
            if (g_stack_frames_valid || g_stack_frame_count) {
                g_stack_frames_valid = false;
                g_stack_frame_count = 0;
            }
        }
        RenderText("(running)", tx, b->y + 22 + 18, fp_col_label());
        end_scissor();
        return;
    }
    static UnwindFrame frames[UNWIND_MAX_FRAMES];
    int count;
    bool valid;
    {
        std::lock_guard<std::mutex> lk(reg_buf_mtx);
        count = std::clamp(g_stack_frame_count, 0, (int)UNWIND_MAX_FRAMES);
        valid = g_stack_frames_valid;
        memcpy(frames, g_stack_frames, sizeof(UnwindFrame) * (size_t)count);
    }
    if (!valid || count == 0) {
        RenderText("(building...)", tx, b->y + 22 + 18, fp_col_label());
        end_scissor();
        return;
    }
    float right_margin = b->x + b->w - 6;
    for (int i = 0; i < count; ++i) {
        float bl = b->y + 22 + 18 + 18 * (float)i;
        if (bl >= bottom - 2) break;
        frames[i].func[sizeof frames[i].func - 1] = 0;
        frames[i].file[sizeof frames[i].file - 1] = 0;
        char idx[16];
        snprintf(idx, sizeof idx, "#%d", i);
        RenderText(idx, tx, bl, fp_col_label());
        float fx = tx + measure_text(idx) + 6;
        // A frame found by scanning the stack (code without call frame
        // information) may be a stale word: it says so.
        const float* name_col = frames[i].is_current ? &g_theme.syn_keyword.r
                                : frames[i].guessed || frames[i].is_exception ? &g_theme.log_text_dim.r
                                                                               : &g_theme.syn_function.r;
        char name[160];
        snprintf(name, sizeof name, "%s%s", frames[i].func, frames[i].guessed ? " (guessed)" : "");
        RenderText(name, fx, bl, name_col);
        if (frames[i].file[0] && frames[i].line) {
            char loc[300];
            snprintf(loc, sizeof loc, "%s:%u", path_base_name(frames[i].file), frames[i].line);
            float lx = fx + measure_text(name) + 8, room = right_margin - lx;
            if (room >= 20) RenderText(truncate_text_left(loc, room), lx, bl, &g_theme.log_text_dim.r);
        }
    }
    end_scissor();
}

// --- Fault ------------------------------------------------------------------------

static const float* summary_line_color(const char* line) {
    if (!strncmp(line, "WARNING", 7) || !strncmp(line, "NOTE", 4)) return fp_col_warn();
    for (const char* p : {"HFSR", "BFAR", "MMFAR", "BFSR", "MMFSR", "UFSR", "Stacked", "Source"})
        if (!strncmp(line, p, strlen(p))) return fp_col_value();
    return fp_col_label();
}

void draw_fault_panel() {
    static HardFaultInfo f;
    {
        std::lock_guard<std::mutex> lk(reg_buf_mtx);
        f = g_hardfault;
    }
    f.summary[sizeof f.summary - 1] = 0;
    f.fault_file[sizeof f.fault_file - 1] = 0;
    LayoutBox* b = &fault_box;
    if (b->w <= 0 || b->h <= 0) return;
    char title[96] = "Fault";
    if (f.valid) snprintf(title, sizeof title, "Fault: %s (IPSR=%u)", fault_exception_name(f.exception_nr), f.exception_nr);
    draw_layout_box(b, title, nullptr, window_h, nullptr, 0);
    float x = b->x + 8, y = b->y + 20 + 16, bottom = b->y + b->h;
    clip_to(*b, b->y + 15, bottom);
    if (!f.valid) {
        char fit[64];
        RenderText(text_fit_end("No fault detected at last halt.", b->w - 16, fit, sizeof fit), x, y, fp_col_label());
        end_scissor();
        return;
    }
    char v[64];
    snprintf(v, sizeof v, "0x%08X  ", f.hfsr);
    float ex = fp_label_value(x, y, "HFSR ", v, nullptr);
    snprintf(v, sizeof v, "0x%08X", f.cfsr);
    fp_label_value(ex + 16, y, "CFSR ", v, nullptr);
    y += 16;
    snprintf(v, sizeof v, "0x%08X", f.mmfar);
    fp_label_value(x, y, "MMFAR ", f.mmfar_valid ? v : "\xE2\x80\x94         ", f.mmfar_valid ? fp_col_warn() : fp_col_label());
    snprintf(v, sizeof v, "0x%08X", f.bfar);
    fp_label_value(x + 0.45f * b->w, y, "BFAR ", f.bfar_valid ? v : "\xE2\x80\x94", f.bfar_valid ? fp_col_warn() : fp_col_label());
    y += 6;
    draw_panel_separator(b->x + 2, y, b->w - 4);
    y += 4 + 16;
    if (f.frame_valid) {
        snprintf(v, sizeof v, "0x%08X", f.frame_pc);
        float px = fp_label_value(x, y, "Faulting PC  ", v, fp_col_warn());
        char src[300];
        if (f.fault_file[0] && f.fault_line) snprintf(src, sizeof src, "   (%s : %u)", path_base_name(f.fault_file), f.fault_line);
        else snprintf(src, sizeof src, "   (no source info)");
        RenderText(src, px, y, fp_col_label());
        y += 16;
        snprintf(v, sizeof v, "0x%08X", f.frame_lr);
        fp_label_value(x, y, "Stacked LR   ", v, nullptr);
        y += 6;
        draw_panel_separator(b->x + 2, y, b->w - 4);
        y += 4 + 16;
        const char* names[5] = {"R0 ", "R1 ", "R2 ", "R3 ", "R12 "};
        const uint32_t vals[5] = {f.frame_r0, f.frame_r1, f.frame_r2, f.frame_r3, f.frame_r12};
        // As many columns as whole values fit, the rest on further rows.
        int per_row = std::clamp((int)((b->w - 16) / (measure_text("R12 0x00000000") + 12)), 1, 5);
        float col = (b->w - 16) / (float)per_row;
        end_scissor();
        for (int i = 0; i < 5; ++i) {
            if (i > 0 && i % per_row == 0) y += 20;
            // A column narrower than its text is cut, not run into its neighbour.
            float cx = x + col * (float)(i % per_row);
            LayoutBox cell = {cx, y - 16, std::max(0.0f, std::min(col - 4, b->x + b->w - cx)),
                              std::max(0.0f, std::min(20.0f, bottom - (y - 16))), 0};
            begin_scissor(&cell, window_h);
            snprintf(v, sizeof v, "0x%08X", vals[i]);
            fp_label_value(cell.x, y, names[i], v, nullptr);
            end_scissor();
        }
        clip_to(*b, b->y + 15, bottom);
        y += 6;
        draw_panel_separator(b->x + 2, y, b->w - 4);
        y += 4;
    } else {
        RenderText("Exception stack frame unreadable \xE2\x80\x94 stack overflow or corruption suspected.", x, y,
                   fp_col_warn());
        y += 6;
        draw_panel_separator(b->x + 2, y, b->w - 4);
        y += 4;
    }
    end_scissor();
    float area_top = y, area_h = bottom - 4 - area_top;
    int lines = 0;
    for (const char* p = f.summary; *p;) {
        ++lines;
        const char* nl = strchr(p, '\n');
        if (!nl) break;
        p = nl + 1;
    }
    if (area_h >= 16) {
        clip_to(*b, area_top, bottom - 4);
        float bl = area_top + 16 - g_fault_scroll;
        for (const char* p = f.summary; *p && bl - 16 < bottom;) {
            const char* nl = strchr(p, '\n');
            size_t len = nl ? (size_t)(nl - p) : strlen(p);
            char line[256];
            snprintf(line, sizeof line, "%.*s", (int)std::min<size_t>(len, 255), p);
            if (bl > area_top) RenderText(line, x, bl, summary_line_color(line));
            bl += 16;
            if (!nl) break;
            p = nl + 1;
        }
        end_scissor();
    }
    g_fault_scroll = std::clamp(g_fault_scroll, 0.0f, std::max(0.0f, 16.0f * (float)lines - std::max(0.0f, area_h)));
}

// --- Breakpoints --------------------------------------------------------------------

int bkpt_row_at(double mx, double my) {
    const LayoutBox& b = bkpt_box;
    if (!g_show_bkpt || b.w <= 0 || mx < b.x || mx >= b.x + b.w || my < b.y + BKPT_LIST_TOP || my >= b.y + b.h)
        return -1;
    int row = (int)((my - (b.y + BKPT_LIST_TOP)) / BKPT_ROW_H);
    std::lock_guard<std::mutex> lk(reg_buf_mtx);
    for (int i = 0, k = 0; i < BKPT_SLOTS; ++i)
        if (g_bkpt[i].active && k++ == row) return i;
    return -1;
}

void draw_bkpt_panel() {
    LayoutBox* b = &bkpt_box;
    if (b->w <= 0 || b->h <= 0) return;
    BkptSlot slots[BKPT_SLOTS];
    {
        std::lock_guard<std::mutex> lk(reg_buf_mtx);
        memcpy(slots, g_bkpt, sizeof slots);
    }
    draw_layout_box(b, "Breakpoints", nullptr, window_h, nullptr, 0);
    float x = b->x + 8, top = b->y + 20, bottom = b->y + b->h;
    clip_to(*b, top, bottom);
    RenderText("En", x, top + 15, fp_col_label());
    RenderText("Type", x + 28, top + 15, fp_col_label());
    RenderText("Address", x + 86, top + 15, fp_col_label());
    RenderText("Source", x + 214, top + 15, fp_col_label());
    draw_panel_separator(b->x + 2, top + 17, b->w - 4);
    int shown = 0;
    for (int i = 0; i < BKPT_SLOTS; ++i) {
        const BkptSlot& s = slots[i];
        if (!s.active) continue;
        float row = b->y + BKPT_LIST_TOP + BKPT_ROW_H * (float)shown++;
        if (row > bottom) break;
        if (i == g_bkpt_hovered) draw_rect(b->x + 1, row, b->w - 2, BKPT_ROW_H, 0, g_theme.log_hover_row);
        float bl = row + 14;
        RenderText("\xE2\x97\x8F", x, bl, s.disabled ? fp_col_label() : &g_theme.dbg_btn_continue.r);
        RenderText(s.is_hw ? "HW" : "SW", x + 28, bl, s.is_hw ? &g_theme.dbg_btn_continue.r : fp_col_label());
        const float* tc = s.disabled ? fp_col_label() : &g_theme.titlebar_text.r;
        char text[300];
        snprintf(text, sizeof text, "0x%08X", s.addr);
        RenderText(text, x + 86, bl, tc);
        if (ui_elf_loaded()) {
            char file[256] = "";
            uint32_t line = 0;
            if (g_ui_symbols.addr_to_line && g_ui_symbols.addr_to_line(s.addr, file, sizeof file, &line))
                snprintf(text, sizeof text, "%s:%u", path_base_name(file), line);
            else
                snprintf(text, sizeof text, "(no source)");
            float room = b->x + b->w - 8 - (x + 214);
            if (room > 0) RenderText(truncate_text_left(text, room), x + 214, bl, tc);
        }
    }
    if (shown == 0) RenderText("No breakpoints set.", x, top + 33, fp_col_label());
    end_scissor();
}
