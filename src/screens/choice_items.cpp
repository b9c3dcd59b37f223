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
    GtkTreeModel* current = nullptr;
    g_object_get(menu, "model", &current, nullptr);
    if (current != nullptr) {
        g_object_unref(current);
        return;
    }
    g_object_set(menu, "model", gtk_combo_box_get_model(combo), nullptr);
    const gint active = gtk_combo_box_get_active(combo);
    if (active >= 0) gtk_menu_set_active(GTK_MENU(menu), static_cast<guint>(active));
}

void detach(GtkWidget* menu) { g_object_set(menu, "model", nullptr, nullptr); }

bool is_long(GtkComboBox* combo) {
    return static_cast<guint>(gtk_tree_model_iter_n_children(gtk_combo_box_get_model(combo), nullptr)) > long_list;
}

// The combo box lays its menu out over the active entry before showing it, so the entries
// go in when the popup is asked for; showing is the fallback for any other way to open it.
void on_popup(GtkComboBox* combo, gpointer menu) { attach(GTK_WIDGET(menu), combo); }

void on_menu_show(GtkWidget* menu, gpointer combo) { attach(menu, GTK_COMBO_BOX(combo)); }

// A chosen entry is activated after the menu has hidden: the entries go once that is done.
gboolean detach_when_idle(gpointer data) {
    auto* menu = static_cast<GtkWidget*>(data);
    auto* combo = static_cast<GtkComboBox*>(g_object_get_data(G_OBJECT(menu), "long-list-hooks"));
    if (combo != nullptr && !gtk_widget_get_visible(menu) && is_long(combo)) detach(menu);
    g_object_unref(menu);
    return G_SOURCE_REMOVE;
}

void on_menu_hide(GtkWidget* menu, gpointer) { g_idle_add(detach_when_idle, g_object_ref(menu)); }
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
        g_signal_connect(combo, "popup", G_CALLBACK(on_popup), menu);
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
