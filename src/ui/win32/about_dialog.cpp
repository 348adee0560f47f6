#include "ui/win32/about_dialog.h"

#include <windows.h>

#include <memory>
#include <type_traits>

#include "ui/dialog_template.h"
#include "ui/win32/dialog_place.h"
#include "ui/win32/memory_template.h"
#include "ui/win32/resource_ids.h"

namespace ui {
namespace {

INT_PTR CALLBACK about_procedure(HWND box, UINT message, WPARAM wparam, LPARAM lparam) {
    switch (message) {
        case WM_INITDIALOG:
            // The picture stays the caller's: a static control never deletes a bitmap.
            SendDlgItemMessageW(box, kAboutPicture, STM_SETIMAGE, IMAGE_BITMAP, lparam);
            centre_on_owner(box);
            return TRUE;
        case WM_COMMAND:
            if (LOWORD(wparam) == IDOK || LOWORD(wparam) == IDCANCEL) {
                EndDialog(box, LOWORD(wparam));
                return TRUE;
            }
            break;
    }
    return FALSE;
}

struct BitmapDeleter {
    void operator()(HBITMAP bitmap) const { DeleteObject(bitmap); }
};

}  // namespace

void show_about_box(Hwnd owner) {
    // The Qt about box's picture, from the window's resources (ui/win32/kestrom_ui.rc).
    const std::unique_ptr<std::remove_pointer_t<HBITMAP>, BitmapDeleter> picture(
        static_cast<HBITMAP>(LoadImageW(GetModuleHandleW(nullptr),
                                        MAKEINTRESOURCEW(KESTROM_ABOUT_PICTURE), IMAGE_BITMAP, 0, 0,
                                        LR_DEFAULTCOLOR)));
    MemoryTemplate box(kAboutDialog.caption, WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME,
                       kAboutDialog.width, kAboutDialog.height);
    box.add_controls(kAboutDialog);
    (void)DialogBoxIndirectParamW(GetModuleHandleW(nullptr),
                                  static_cast<LPCDLGTEMPLATEW>(box.data()), owner, about_procedure,
                                  reinterpret_cast<LPARAM>(picture.get()));  // nothing to report
}

}  // namespace ui
