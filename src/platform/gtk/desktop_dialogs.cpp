// GtkFileChooserNative panels, GtkMessageDialog alerts and GdkClipboard text.
#include "platform/gtk/desktop_dialogs.hpp"

#include <algorithm>
#include <cstdint>

namespace solvera::platform {
namespace {

constexpr const char* kCancel = "Annuleren";

void addFilter(GtkFileChooser* chooser, const std::vector<std::string>& mimeTypes,
               const std::vector<std::string>& extensions) {
  if (mimeTypes.empty() && extensions.empty()) return;
  GtkFileFilter* filter = gtk_file_filter_new();
  // The name shown in the panel's filter list.
  std::string name;
  for (const auto& type : mimeTypes) {
    name += (name.empty() ? "" : ", ") + (type == "audio/*" ? std::string("Audiobestanden") : type);
  }
  for (const auto& extension : extensions) name += (name.empty() ? "*." : ", *.") + extension;
  gtk_file_filter_set_name(filter, name.c_str());
  for (const auto& type : mimeTypes) gtk_file_filter_add_mime_type(filter, type.c_str());
  for (const auto& extension : extensions) {
    gtk_file_filter_add_suffix(filter, extension.c_str());
  }
  gtk_file_chooser_add_filter(chooser, filter);
  gtk_file_chooser_set_filter(chooser, filter);
  g_object_unref(filter);
}

std::optional<std::filesystem::path> pathOf(GFile* file) {
  if (!file) return std::nullopt;
  gchar* path = g_file_get_path(file);
  if (!path) return std::nullopt;
  std::filesystem::path result(path);
  g_free(path);
  return result;
}

}  // namespace

void DesktopDialogs::runOpenPanel(const OpenPanelOptions& options,
                                  std::function<void(std::vector<std::filesystem::path>)> done) {
  // GTK picks files or folders per panel. Where folders are allowed they are what the user
  // means: a music package on Linux is a folder (also one named *.svpmusic).
  GtkFileChooserAction action = options.canChooseDirectories
                                    ? GTK_FILE_CHOOSER_ACTION_SELECT_FOLDER
                                    : GTK_FILE_CHOOSER_ACTION_OPEN;
  GtkFileChooserNative* panel = gtk_file_chooser_native_new(
      options.title.c_str(), shell_.dialogParent(), action,
      options.prompt.empty() ? nullptr : options.prompt.c_str(), kCancel);
  GtkFileChooser* chooser = GTK_FILE_CHOOSER(panel);
  gtk_file_chooser_set_select_multiple(chooser, options.allowsMultipleSelection);
  if (action == GTK_FILE_CHOOSER_ACTION_OPEN) {
    addFilter(chooser, options.mimeTypes, options.extensions);
  }
  gtk_native_dialog_set_modal(GTK_NATIVE_DIALOG(panel), TRUE);
  using Done = std::function<void(std::vector<std::filesystem::path>)>;
  g_signal_connect_data(
      panel, "response",
      G_CALLBACK(+[](GtkNativeDialog* dialog, int response, gpointer data) {
        std::vector<std::filesystem::path> paths;
        if (response == GTK_RESPONSE_ACCEPT) {
          GListModel* files = gtk_file_chooser_get_files(GTK_FILE_CHOOSER(dialog));
          for (guint i = 0; i < g_list_model_get_n_items(files); ++i) {
            auto* file = G_FILE(g_list_model_get_item(files, i));
            if (auto path = pathOf(file)) paths.push_back(*path);
            g_object_unref(file);
          }
          g_object_unref(files);
        }
        (*static_cast<Done*>(data))(std::move(paths));
        g_object_unref(dialog);
      }),
      new Done(std::move(done)), [](gpointer data, GClosure*) { delete static_cast<Done*>(data); },
      GConnectFlags(0));
  gtk_native_dialog_show(GTK_NATIVE_DIALOG(panel));
}

void DesktopDialogs::runSavePanel(const SavePanelOptions& options,
                                  std::function<void(std::optional<std::filesystem::path>)> done) {
  GtkFileChooserNative* panel = gtk_file_chooser_native_new(
      options.title.c_str(), shell_.dialogParent(), GTK_FILE_CHOOSER_ACTION_SAVE,
      options.prompt.empty() ? nullptr : options.prompt.c_str(), kCancel);
  GtkFileChooser* chooser = GTK_FILE_CHOOSER(panel);
  if (!options.proposedName.empty()) {
    gtk_file_chooser_set_current_name(chooser, options.proposedName.c_str());
  }
  addFilter(chooser, {}, options.extensions);
  gtk_native_dialog_set_modal(GTK_NATIVE_DIALOG(panel), TRUE);
  using Done = std::function<void(std::optional<std::filesystem::path>)>;
  g_signal_connect_data(
      panel, "response",
      G_CALLBACK(+[](GtkNativeDialog* dialog, int response, gpointer data) {
        std::optional<std::filesystem::path> path;
        if (response == GTK_RESPONSE_ACCEPT) {
          GFile* file = gtk_file_chooser_get_file(GTK_FILE_CHOOSER(dialog));
          path = pathOf(file);
          if (file) g_object_unref(file);
        }
        (*static_cast<Done*>(data))(std::move(path));
        g_object_unref(dialog);
      }),
      new Done(std::move(done)), [](gpointer data, GClosure*) { delete static_cast<Done*>(data); },
      GConnectFlags(0));
  gtk_native_dialog_show(GTK_NATIVE_DIALOG(panel));
}

void DesktopDialogs::runAlert(const AlertSpec& alert, std::function<void(int)> done) {
  GtkWidget* dialog = gtk_message_dialog_new(shell_.dialogParent(), GTK_DIALOG_MODAL,
                                             GTK_MESSAGE_INFO, GTK_BUTTONS_NONE, "%s",
                                             alert.title.c_str());
  gtk_message_dialog_format_secondary_text(GTK_MESSAGE_DIALOG(dialog), "%s",
                                           alert.message.c_str());
  gtk_window_set_title(GTK_WINDOW(dialog), alert.title.c_str());
  for (std::size_t i = 0; i < alert.buttons.size(); ++i) {
    gtk_dialog_add_button(GTK_DIALOG(dialog), alert.buttons[i].c_str(), static_cast<int>(i));
  }
  if (!alert.buttons.empty()) gtk_dialog_set_default_response(GTK_DIALOG(dialog), 0);
  using Done = std::function<void(int)>;
  // Closing the alert without a button is the cautious answer, its last button.
  const int lastButton = std::max(static_cast<int>(alert.buttons.size()) - 1, 0);
  Done answer = [done = std::move(done), lastButton](int response) {
    done(response >= 0 ? response : lastButton);
  };
  g_signal_connect_data(
      dialog, "response", G_CALLBACK(+[](GtkDialog* self, int response, gpointer data) {
        (*static_cast<Done*>(data))(response);
        gtk_window_destroy(GTK_WINDOW(self));
      }),
      new Done(std::move(answer)),
      [](gpointer data, GClosure*) { delete static_cast<Done*>(data); }, GConnectFlags(0));
  gtk_window_present(GTK_WINDOW(dialog));
}

void DesktopClipboard::readText(std::function<void(std::string)> done) {
  GdkDisplay* display = gdk_display_get_default();
  if (!display) {
    done("");
    return;
  }
  using Done = std::function<void(std::string)>;
  gdk_clipboard_read_text_async(
      gdk_display_get_clipboard(display), nullptr,
      [](GObject* source, GAsyncResult* result, gpointer data) {
        std::unique_ptr<Done> done(static_cast<Done*>(data));
        // No text (empty, or only an image): the empty text.
        char* text = gdk_clipboard_read_text_finish(GDK_CLIPBOARD(source), result, nullptr);
        std::string value = text ? text : "";
        g_free(text);
        (*done)(value);
      },
      new Done(std::move(done)));
}

}  // namespace solvera::platform
