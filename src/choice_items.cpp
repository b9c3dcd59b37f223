#include "choice_items.h"

#include <wx/choice.h>

#ifdef __WXGTK3__
#include <gtk/gtk.h>
#endif

namespace {

#ifdef __WXGTK3__
// GTK's popup menu of a combo box mirrors the list with one menu item per entry. Adding a
// row searches all items, and sizing the menu costs time that grows with the square of the
// entries (6 s for 3,000): once the list was filled, any selection or rename could freeze the
// screen for seconds. So a long list is kept away from the menu until the menu is shown.
constexpr guint long_list = 500;

// The menu is reached through its accessible, the only public way to it.
GtkWidget* popup_menu_of(GtkComboBox* combo) {
    AtkObject* accessible = gtk_combo_box_get_popup_accessible(combo);
    if (accessible == nullptr || !GTK_IS_ACCESSIBLE(accessible)) return nullptr;
    GtkWidget* menu = gtk_accessible_get_widget(GTK_ACCESSIBLE(accessible));
    if (!GTK_IS_MENU(menu) || g_object_class_find_property(G_OBJECT_GET_CLASS(menu), "model") == nullptr)
        return nullptr;
    return menu;
}

void attach(GtkWidget* menu, GtkComboBox* combo) {
    g_object_set(menu, "model", gtk_combo_box_get_model(combo), nullptr);
    const gint active = gtk_combo_box_get_active(combo);
    if (active >= 0) gtk_menu_set_active(GTK_MENU(menu), static_cast<guint>(active));
}

void detach(GtkWidget* menu) { g_object_set(menu, "model", nullptr, nullptr); }

bool is_long(GtkComboBox* combo) {
    return static_cast<guint>(gtk_tree_model_iter_n_children(gtk_combo_box_get_model(combo), nullptr)) > long_list;
}

void on_menu_show(GtkWidget* menu, gpointer combo) {
    if (is_long(GTK_COMBO_BOX(combo))) attach(menu, GTK_COMBO_BOX(combo));
}

void on_menu_hide(GtkWidget* menu, gpointer combo) {
    if (is_long(GTK_COMBO_BOX(combo))) detach(menu);
}
#endif

}  // namespace

void set_choice_items(wxChoice* choice, const wxArrayString& items) {
#ifdef __WXGTK3__
    GtkWidget* widget = choice->GetHandle();
    GtkWidget* menu = GTK_IS_COMBO_BOX(widget) ? popup_menu_of(GTK_COMBO_BOX(widget)) : nullptr;
    if (menu == nullptr) {
        choice->Set(items);
        return;
    }
    GtkComboBox* combo = GTK_COMBO_BOX(widget);
    if (g_object_get_data(G_OBJECT(menu), "long-list-hooks") == nullptr) {
        g_signal_connect(menu, "show", G_CALLBACK(on_menu_show), combo);
        g_signal_connect(menu, "hide", G_CALLBACK(on_menu_hide), combo);
        g_object_set_data(G_OBJECT(menu), "long-list-hooks", combo);
    }
    detach(menu);
    choice->Set(items);
    if (!is_long(combo)) attach(menu, combo);
    // The combo box would also measure every entry to fit the widest; its size is fixed anyway.
    GtkWidget* shown = gtk_bin_get_child(GTK_BIN(combo));
    if (is_long(combo) && GTK_IS_CELL_VIEW(shown)) gtk_cell_view_set_fit_model(GTK_CELL_VIEW(shown), FALSE);
#else
    choice->Set(items);
#endif
}
