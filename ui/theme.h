// Colour themes: every colour the interface draws has a name here.
#pragma once

struct Color3 {
    float r, g, b;
};

struct Color4 {
    float r, g, b, a;
};

struct Theme {
    Color4 window_bg;
    Color4 titlebar_bg;
    Color4 panel_bg;
    Color3 border_line;
    Color4 grab_normal;
    Color4 grab_hovered;
    Color4 grab_dragging;
    Color3 hdr_normal;
    Color3 hdr_hovered;
    Color3 hdr_dragging;
    Color4 scrollbar_track;
    Color4 scrollbar_thumb;
    Color3 log_text_normal;
    Color3 log_text_dim;
    Color3 log_text_changed;
    Color3 log_line_number;
    Color4 log_hover_row;
    Color4 log_hover_back;
    Color4 source_current_line;
    Color3 syn_normal;
    Color3 syn_comment;
    Color3 syn_string;
    Color3 syn_keyword;
    Color3 syn_preproc;
    Color3 syn_number;
    Color3 syn_paren;
    Color3 syn_bracket;
    Color3 syn_brace;
    Color3 syn_operator;
    Color3 syn_punctuation;
    Color3 syn_function;
    Color3 syn_member;
    Color3 asm_addr;
    Color3 asm_text;
    Color4 asm_button_normal;
    Color4 asm_button_hovered;
    Color4 asm_button_pressed;
    Color3 titlebar_text;
    Color3 titlebar_info;
    Color3 btn_close_normal;
    Color3 btn_close_hovered;
    Color3 btn_close_pressed;
    Color3 btn_max_normal;
    Color3 btn_max_hovered;
    Color3 btn_max_pressed;
    Color3 btn_top_normal;
    Color3 btn_top_active;
    Color3 btn_top_hovered;
    Color3 panel_edge_normal;
    Color3 panel_edge_hovered;
    Color3 panel_edge_dragging;
    Color3 dbg_btn_reset;
    Color3 dbg_btn_continue;
    Color3 dbg_btn_pause;
    Color3 dbg_btn_step;
    Color3 var_empty_hint;
    Color3 var_marker;
    Color3 var_name_param;
    Color3 var_name_local;
    Color3 var_watch_name;
    Color3 var_watch_type;
    Color3 var_watch_value;
    Color3 var_watch_delete;
    Color3 var_expand_btn;
    Color3 var_member_name;
    Color3 var_member_offset;
    Color3 var_tab_active;
    Color3 var_tab_inactive;
    Color3 var_tab_divider;
};

extern const Theme g_theme_dark;
extern const Theme g_theme_light;
extern Theme g_theme;             // the active theme, read by every drawing routine
extern bool g_dark_theme_active;  // starts true

extern const Color3 PLOT_CURVE_COLORS[8];

// Copies the dark or light table over g_theme.
void theme_activate(bool dark);

inline Color4 color4_of(Color3 c, float a) { return Color4{c.r, c.g, c.b, a}; }
