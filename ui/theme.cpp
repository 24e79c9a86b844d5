#include "ui/theme.h"

const Theme g_theme_dark = {
    {0.1f, 0.1f, 0.1f, 1},        // window_bg
    {0.15f, 0.15f, 0.15f, 1},     // titlebar_bg
    {0.12f, 0.12f, 0.12f, 1},     // panel_bg
    {0.2f, 0.2f, 0.2f},           // border_line
    {0.55f, 0.35f, 0.1f, 0.8f},   // grab_normal
    {0.2f, 0.9f, 1, 0.85f},       // grab_hovered
    {1, 1, 1, 0.9f},              // grab_dragging
    {1, 0.55f, 0},                // hdr_normal
    {0.2f, 0.9f, 1},              // hdr_hovered
    {1, 1, 1},                    // hdr_dragging
    {0.05f, 0.05f, 0.05f, 1},     // scrollbar_track
    {0.3f, 0.3f, 0.3f, 1},        // scrollbar_thumb
    {0.85f, 0.85f, 0.85f},        // log_text_normal
    {0.48f, 0.48f, 0.48f},        // log_text_dim
    {0.94f, 0.38f, 0.42f},        // log_text_changed
    {0.4f, 0.4f, 0.4f},           // log_line_number
    {0.15f, 0.3f, 0.45f, 1},      // log_hover_row
    {0.35f, 0.25f, 0.05f, 1},     // log_hover_back
    {0.2f, 0.35f, 0.2f, 1},       // source_current_line
    {0.85f, 0.85f, 0.85f},        // syn_normal
    {0.45f, 0.65f, 0.4f},         // syn_comment
    {0.87f, 0.6f, 0.35f},         // syn_string
    {0.4f, 0.65f, 0.95f},         // syn_keyword
    {0.75f, 0.5f, 0.85f},         // syn_preproc
    {0.78f, 0.9f, 0.55f},         // syn_number
    {0.95f, 0.8f, 0.2f},          // syn_paren
    {0.55f, 0.9f, 0.85f},         // syn_bracket
    {0.9f, 0.55f, 0.9f},          // syn_brace
    {0.85f, 0.5f, 0.4f},          // syn_operator
    {0.45f, 0.45f, 0.45f},        // syn_punctuation
    {0.4f, 0.8f, 0.95f},          // syn_function
    {0.75f, 0.88f, 0.65f},        // syn_member
    {0.35f, 0.62f, 0.42f},        // asm_addr
    {0.55f, 0.85f, 0.6f},         // asm_text
    {0.2f, 0.48f, 0.28f, 1},      // asm_button_normal
    {0.28f, 0.62f, 0.36f, 1},     // asm_button_hovered
    {0.15f, 0.38f, 0.22f, 1},     // asm_button_pressed
    {1, 1, 1},                    // titlebar_text
    {0.6f, 0.6f, 0.6f},           // titlebar_info
    {0.65f, 0.65f, 0.65f},        // btn_close_normal
    {1, 0.3f, 0.3f},              // btn_close_hovered
    {1, 0.2f, 0.2f},              // btn_close_pressed
    {0.65f, 0.65f, 0.65f},        // btn_max_normal
    {0.5f, 1, 0.5f},              // btn_max_hovered
    {0.4f, 1, 0.4f},              // btn_max_pressed
    {0.5f, 0.5f, 0.5f},           // btn_top_normal
    {1, 0.9f, 0.2f},              // btn_top_active
    {0.85f, 0.85f, 0.85f},        // btn_top_hovered
    {0.28f, 0.28f, 0.28f},        // panel_edge_normal
    {0.8f, 0.3f, 0},              // panel_edge_hovered
    {0.5f, 0.28f, 0},             // panel_edge_dragging
    {0.88f, 0.42f, 0.46f},        // dbg_btn_reset
    {0.54f, 0.82f, 0.52f},        // dbg_btn_continue
    {0.9f, 0.75f, 0.48f},         // dbg_btn_pause
    {0.38f, 0.69f, 0.94f},        // dbg_btn_step
    {0.35f, 0.35f, 0.35f},        // var_empty_hint
    {0.5f, 0.5f, 0.5f},           // var_marker
    {0.6f, 0.85f, 0.95f},         // var_name_param
    {0.9f, 0.9f, 0.9f},           // var_name_local
    {0.92f, 0.92f, 0.92f},        // var_watch_name
    {0.5f, 0.5f, 0.55f},          // var_watch_type
    {0.78f, 0.9f, 0.55f},         // var_watch_value
    {0.5f, 0.2f, 0.2f},           // var_watch_delete
    {0.55f, 0.55f, 0.55f},        // var_expand_btn
    {0.65f, 0.75f, 0.8f},         // var_member_name
    {0.4f, 0.4f, 0.45f},          // var_member_offset
    {0.9f, 0.9f, 0.9f},           // var_tab_active
    {0.55f, 0.55f, 0.55f},        // var_tab_inactive
    {0.25f, 0.25f, 0.25f},        // var_tab_divider
};

const Theme g_theme_light = {
    {0.99f, 0.96f, 0.89f, 1},     // window_bg
    {0.93f, 0.91f, 0.84f, 1},     // titlebar_bg
    {0.93f, 0.91f, 0.84f, 1},     // panel_bg
    {0.75f, 0.73f, 0.67f},        // border_line
    {0.52f, 0.6f, 0, 0.8f},       // grab_normal
    {0.15f, 0.55f, 0.82f, 0.85f}, // grab_hovered
    {0.1f, 0.1f, 0.1f, 0.9f},     // grab_dragging
    {0.52f, 0.6f, 0},             // hdr_normal
    {0.15f, 0.55f, 0.82f},        // hdr_hovered
    {0.1f, 0.1f, 0.1f},           // hdr_dragging
    {0.88f, 0.86f, 0.79f, 1},     // scrollbar_track
    {0.55f, 0.55f, 0.5f, 1},      // scrollbar_thumb
    {0.1f, 0.12f, 0.15f},         // log_text_normal
    {0.4f, 0.42f, 0.45f},         // log_text_dim
    {0.78f, 0.1f, 0.14f},         // log_text_changed
    {0.55f, 0.55f, 0.52f},        // log_line_number
    {0.82f, 0.9f, 0.97f, 1},      // log_hover_row
    {0.97f, 0.93f, 0.8f, 1},      // log_hover_back
    {0.87f, 0.94f, 0.83f, 1},     // source_current_line
    {0.1f, 0.12f, 0.15f},         // syn_normal
    {0.4f, 0.55f, 0.52f},         // syn_comment
    {0.52f, 0.6f, 0},             // syn_string
    {0.15f, 0.45f, 0.78f},        // syn_keyword
    {0.65f, 0.1f, 0.55f},         // syn_preproc
    {0.8f, 0.29f, 0.09f},         // syn_number
    {0.75f, 0.5f, 0},             // syn_paren
    {0, 0.6f, 0.6f},              // syn_bracket
    {0.65f, 0.1f, 0.65f},         // syn_brace
    {0.8f, 0.2f, 0.1f},           // syn_operator
    {0.55f, 0.55f, 0.52f},        // syn_punctuation
    {0.1f, 0.45f, 0.78f},         // syn_function
    {0.3f, 0.55f, 0.2f},          // syn_member
    {0.25f, 0.5f, 0.3f},          // asm_addr
    {0.15f, 0.45f, 0.25f},        // asm_text
    {0.25f, 0.52f, 0.3f, 1},      // asm_button_normal
    {0.32f, 0.65f, 0.38f, 1},     // asm_button_hovered
    {0.18f, 0.4f, 0.22f, 1},      // asm_button_pressed
    {0.1f, 0.12f, 0.15f},         // titlebar_text
    {0.42f, 0.44f, 0.48f},        // titlebar_info
    {0.4f, 0.4f, 0.4f},           // btn_close_normal
    {0.85f, 0.15f, 0.15f},        // btn_close_hovered
    {0.7f, 0.1f, 0.1f},           // btn_close_pressed
    {0.4f, 0.4f, 0.4f},           // btn_max_normal
    {0.1f, 0.65f, 0.2f},          // btn_max_hovered
    {0.08f, 0.55f, 0.15f},        // btn_max_pressed
    {0.45f, 0.45f, 0.45f},        // btn_top_normal
    {0.8f, 0.5f, 0},              // btn_top_active
    {0.2f, 0.2f, 0.2f},           // btn_top_hovered
    {0.7f, 0.68f, 0.62f},         // panel_edge_normal
    {0.52f, 0.6f, 0},             // panel_edge_hovered
    {0.52f, 0.6f, 0},             // panel_edge_dragging
    {0.75f, 0.15f, 0.2f},         // dbg_btn_reset
    {0.3f, 0.6f, 0.1f},           // dbg_btn_continue
    {0.75f, 0.45f, 0},            // dbg_btn_pause
    {0.1f, 0.4f, 0.75f},          // dbg_btn_step
    {0.55f, 0.55f, 0.52f},        // var_empty_hint
    {0.5f, 0.5f, 0.48f},          // var_marker
    {0.1f, 0.45f, 0.72f},         // var_name_param
    {0.1f, 0.12f, 0.15f},         // var_name_local
    {0.08f, 0.1f, 0.12f},         // var_watch_name
    {0.4f, 0.42f, 0.48f},         // var_watch_type
    {0.52f, 0.6f, 0},             // var_watch_value
    {0.7f, 0.15f, 0.15f},         // var_watch_delete
    {0.45f, 0.45f, 0.45f},        // var_expand_btn
    {0.2f, 0.35f, 0.55f},         // var_member_name
    {0.5f, 0.5f, 0.48f},          // var_member_offset
    {0.08f, 0.1f, 0.12f},         // var_tab_active
    {0.5f, 0.5f, 0.48f},          // var_tab_inactive
    {0.7f, 0.68f, 0.62f},         // var_tab_divider
};

Theme g_theme = g_theme_dark;
bool g_dark_theme_active = true;

const Color3 PLOT_CURVE_COLORS[8] = {
    {0.35f, 0.75f, 1},  {0.4f, 0.9f, 0.45f}, {1, 0.65f, 0.2f},  {0.9f, 0.35f, 0.35f},
    {0.8f, 0.5f, 1},    {1, 0.9f, 0.25f},    {0.3f, 0.9f, 0.85f}, {1, 0.55f, 0.75f},
};

void theme_activate(bool dark) {
    g_dark_theme_active = dark;
    g_theme = dark ? g_theme_dark : g_theme_light;
}
