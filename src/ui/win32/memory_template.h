// In-memory dialog templates (the extended format the dialog manager reads from a resource) for
// the native window. The window and its about box are made from the shared control table
// (ui/dialog_template.h) and nothing else; the window's progress strip and the check's results
// box add controls of their own through the same builder.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "ui/dialog_template.h"

namespace ui {

// A window class in a template: one of the dialog manager's predefined classes by its atom
// (button 0x80, edit 0x81, static 0x82), or a registered class by its name.
struct TemplateClass {
    std::uint16_t atom = 0;
    std::wstring_view name;
};

class MemoryTemplate {
public:
    // The dialog: caption, window styles and client size in dialog units; the font is the shell
    // dialog font ("MS Shell Dlg" 8), so dialog units follow the system's dialog font.
    MemoryTemplate(std::string_view caption, std::uint32_t style, int width, int height);

    void add_control(int id, TemplateClass window_class, std::string_view text, std::uint32_t style,
                     std::uint32_t ex_style, int x, int y, int width, int height);
    // Every control of a table, in its order, with the class and styles its kind stands for.
    void add_controls(const DialogTemplate& dialog);

    // DLGTEMPLATEEX and its items, for DialogBoxIndirectParam and CreateDialogIndirectParam.
    const void* data() const { return words_.data(); }

private:
    void put(std::uint16_t word) { words_.push_back(word); }
    void put32(std::uint32_t value);
    void put_text(std::string_view utf8);  // UTF-16, NUL-terminated
    void align();                          // items start on a DWORD boundary

    std::vector<std::uint16_t> words_;
    std::size_t item_count_at_ = 0;
};

}  // namespace ui
