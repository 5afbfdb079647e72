// GTK 4 / WebKitGTK 6.0 calls of the desktop shell; the decisions live in the delegate.
#include "platform/gtk/desktop_shell.hpp"

#include <cstdint>
#include <cstdlib>
#include <filesystem>

#include "common/json.hpp"
#include "platform/gtk/key_events.hpp"
#include "platform/script_result.hpp"

namespace solvera::platform {
namespace {

// The page's values as JSON: text, numbers, booleans, dictionaries and arrays.
Json jsonFromValue(JSCValue* value) {
  if (!value || jsc_value_is_undefined(value) || jsc_value_is_null(value)) return nullptr;
  if (jsc_value_is_boolean(value)) return static_cast<bool>(jsc_value_to_boolean(value));
  if (jsc_value_is_number(value)) return jsc_value_to_double(value);
  if (jsc_value_is_string(value)) {
    gchar* text = jsc_value_to_string(value);
    Json result = std::string(text ? text : "");
    g_free(text);
    return result;
  }
  gchar* json = jsc_value_to_json(value, 0);
  if (!json) return nullptr;
  auto parsed = parseJson(json);
  g_free(json);
  return parsed.value_or(Json());
}

// One key filter on one widget, with the keys it has seen held.
struct KeyFilter {
  DesktopShell* shell;
  enum class Layer { window, controlWindow, webView } layer;
  HeldKeys held;
};

struct ScriptMessageHandler {
  DesktopShell* shell;
  std::string name;
};

struct MenuAction {
  DesktopShell* shell;
  std::size_t menu, item;
};

template <typename T>
void deleteData(gpointer data, GClosure*) {
  delete static_cast<T*>(data);
}

std::string accelerator(const std::string& key) {
  if (key.empty()) return {};
  char c = key[0];
  bool upper = c >= 'A' && c <= 'Z';
  std::string lower(1, upper ? static_cast<char>(c - 'A' + 'a') : c);
  return upper ? "<Control><Shift>" + lower : "<Control>" + lower;
}

void setFont(GtkWidget* label, int pixels, PangoWeight weight, const char* color = nullptr) {
  PangoAttrList* attrs = pango_attr_list_new();
  pango_attr_list_insert(attrs, pango_attr_size_new_absolute(pixels * PANGO_SCALE));
  pango_attr_list_insert(attrs, pango_attr_weight_new(weight));
  if (color) {
    PangoColor c;
    if (pango_color_parse(&c, color)) {
      pango_attr_list_insert(attrs, pango_attr_foreground_new(c.red, c.green, c.blue));
    }
  }
  gtk_label_set_attributes(GTK_LABEL(label), attrs);
  pango_attr_list_unref(attrs);
}

void setMargins(GtkWidget* widget, int top, int sides) {
  gtk_widget_set_margin_top(widget, top);
  gtk_widget_set_margin_start(widget, sides);
  gtk_widget_set_margin_end(widget, sides);
}

bool drawInSoftware = false;

bool graphicsProcessorPresent() {
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator("/dev/dri", ec)) {
    if (entry.path().filename().string().starts_with("renderD")) return true;
  }
  return false;
}

}  // namespace

bool startGtk() {
  bool userChose = false;
  for (const char* name : {"GSK_RENDERER", "GDK_DEBUG", "GDK_DISABLE"}) {
    const char* value = std::getenv(name);
    userChose = userChose || (value && *value);
  }
  drawInSoftware = !userChose && !graphicsProcessorPresent();
  // GDK reads this once, when the display opens; programs we start must not inherit it.
  if (drawInSoftware) g_setenv("GDK_DEBUG", "gl-disable", TRUE);
  bool started = gtk_init_check();
  if (drawInSoftware) g_unsetenv("GDK_DEBUG");
  return started;
}

// The C callbacks, with access to the shell.
struct ShellCallbacks {
  static gboolean keyPressed(GtkEventControllerKey* controller, guint keyval, guint keycode,
                             GdkModifierType state, gpointer data) {
    auto* filter = static_cast<KeyFilter*>(data);
    DesktopShell* shell = filter->shell;
    // The window's filter sees every press first and tells a repeat from a new press; the
    // web view's filter uses that verdict for the same event, since it never sees the
    // first press of a key the window consumed.
    GdkEvent* current = gtk_event_controller_get_current_event(GTK_EVENT_CONTROLLER(controller));
    // An open menu handles its own keys (arrows move through it), as menu tracking does.
    GtkWidget* widget = gtk_event_controller_get_widget(GTK_EVENT_CONTROLLER(controller));
    GtkNative* native = gtk_widget_get_native(widget);
    if (current && native && gdk_event_get_surface(current) != gtk_native_get_surface(native)) {
      return GDK_EVENT_PROPAGATE;
    }
    KeyEvent event;
    if (filter->layer == KeyFilter::Layer::webView && current && current == shell->lastKeyEvent_) {
      event = shell->lastKey_;
    } else {
      event = filter->held.press(keyval, keycode, state);
      shell->lastKeyEvent_ = current;
      shell->lastKey_ = event;
    }
    if (filter->layer == KeyFilter::Layer::webView) {
      auto events = shell->events();
      return events && events->controlWebViewKeyEvent(event) ? GDK_EVENT_STOP
                                                             : GDK_EVENT_PROPAGATE;
    }
    bool consumed =
        shell->windowKeyPressed(filter->layer == KeyFilter::Layer::controlWindow, event);
    return consumed ? GDK_EVENT_STOP : GDK_EVENT_PROPAGATE;
  }

  static void keyReleased(GtkEventControllerKey*, guint, guint keycode, GdkModifierType,
                          gpointer data) {
    static_cast<KeyFilter*>(data)->held.release(keycode);
  }

  static void focusLeft(GtkEventControllerFocus*, gpointer data) {
    static_cast<KeyFilter*>(data)->held.clear();
  }

  static void scriptMessage(WebKitUserContentManager*, JSCValue* value, gpointer data) {
    auto* handler = static_cast<ScriptMessageHandler*>(data);
    if (auto events = handler->shell->events()) {
      events->didReceiveScriptMessage(handler->name, jsonFromValue(value));
    }
  }

  static void loadChanged(WebKitWebView*, WebKitLoadEvent loadEvent, gpointer data) {
    auto* shell = static_cast<DesktopShell*>(data);
    if (loadEvent == WEBKIT_LOAD_STARTED) shell->loadFailed_ = false;
    if (loadEvent != WEBKIT_LOAD_FINISHED || shell->loadFailed_) return;
    auto events = shell->events();
    if (events && shell->webView_) events->webViewDidFinishLoad(*shell->webView_);
  }

  static gboolean loadFailed(WebKitWebView*, WebKitLoadEvent, gchar*, GError*, gpointer data) {
    static_cast<DesktopShell*>(data)->loadFailed_ = true;
    return FALSE;  // the web view shows its own error page
  }

  static GtkWidget* createWebView(WebKitWebView*, WebKitNavigationAction* action, gpointer data) {
    auto events = static_cast<DesktopShell*>(data)->events();
    WebKitURIRequest* request = webkit_navigation_action_get_request(action);
    const gchar* uri = request ? webkit_uri_request_get_uri(request) : nullptr;
    if (events && uri) events->webViewRequestsNewWindow(uri);
    return nullptr;  // never a second web view
  }

  static gboolean runFileChooser(WebKitWebView*, WebKitFileChooserRequest* request,
                                 gpointer data) {
    auto events = static_cast<DesktopShell*>(data)->events();
    if (!events) return FALSE;
    // WebKitGTK does not say whether the input allows directories: files only.
    FileInputRequest input;
    input.allowsMultipleSelection = webkit_file_chooser_request_get_select_multiple(request);
    g_object_ref(request);
    events->webViewRunOpenPanel(input, [request](const std::vector<std::filesystem::path>& files) {
      if (files.empty()) {
        webkit_file_chooser_request_cancel(request);
      } else {
        std::vector<const gchar*> names;
        names.reserve(files.size() + 1);
        for (const auto& file : files) names.push_back(file.c_str());
        names.push_back(nullptr);
        webkit_file_chooser_request_select_files(request, names.data());
      }
      g_object_unref(request);
    });
    return TRUE;
  }

  static gboolean controlWindowCloseRequest(GtkWindow* window, gpointer data) {
    auto* shell = static_cast<DesktopShell*>(data);
    gtk_widget_set_visible(GTK_WIDGET(window), FALSE);
    if (auto events = shell->events()) events->controlWindowWillClose();
    return TRUE;  // kept until the shell goes, like every window of ours
  }

  static gboolean messageWindowCloseRequest(GtkWindow* window, gpointer data) {
    auto* shell = static_cast<DesktopShell*>(data);
    gtk_widget_set_visible(GTK_WIDGET(window), FALSE);
    shell->lastWindowMayHaveClosed();
    return TRUE;
  }

  static void openInterfaceClicked(GtkButton*, gpointer data) {
    if (auto events = static_cast<DesktopShell*>(data)->events()) {
      events->openInterfaceButtonClicked();
    }
  }

  static void quitClicked(GtkButton*, gpointer data) {
    if (auto events = static_cast<DesktopShell*>(data)->events()) events->quitButtonClicked();
  }

  static void menuActivated(GSimpleAction*, GVariant*, gpointer data) {
    auto* action = static_cast<MenuAction*>(data);
    action->shell->runMenuItem(action->menu, action->item);
  }
};

DesktopWebView::DesktopWebView(WebKitWebView* view) : view_(view) { g_object_ref_sink(view_); }

DesktopWebView::~DesktopWebView() { g_object_unref(view_); }

void DesktopWebView::evaluateScript(const std::string& script,
                                    std::function<void(const ScriptResult&)> done) {
  using Done = std::function<void(const ScriptResult&)>;
  webkit_web_view_evaluate_javascript(
      view_, script.c_str(), static_cast<gssize>(script.size()), nullptr, nullptr, nullptr,
      [](GObject* source, GAsyncResult* asyncResult, gpointer data) {
        std::unique_ptr<Done> done(static_cast<Done*>(data));
        GError* error = nullptr;
        JSCValue* value =
            webkit_web_view_evaluate_javascript_finish(WEBKIT_WEB_VIEW(source), asyncResult, &error);
        ScriptResult result;
        if (value) {
          result.value = jsonFromValue(value);
          g_object_unref(value);
        }
        if (error) {
          result.error = error->message;
          g_error_free(error);
        }
        if (*done) (*done)(result);
      },
      new Done(std::move(done)));
}

DesktopShell::DesktopShell(GtkApplication* application, std::string displayName,
                           std::ostream* readyLine)
    : application_(application), displayName_(std::move(displayName)), readyLine_(readyLine) {}

DesktopShell::~DesktopShell() {
  // Windows first: their callbacks point here.
  for (GtkWidget* window : retiredWindows_) gtk_window_destroy(GTK_WINDOW(window));
  if (messageWindow_) gtk_window_destroy(GTK_WINDOW(messageWindow_));
  if (controlWindow_) gtk_window_destroy(GTK_WINDOW(controlWindow_));
  webView_.reset();
  if (menuModel_) g_object_unref(menuModel_);
}

void DesktopShell::attachKeyFilters(GtkWidget* widget, bool isControlWindow) {
  auto* filter = new KeyFilter{this,
                               GTK_IS_WINDOW(widget)
                                   ? (isControlWindow ? KeyFilter::Layer::controlWindow
                                                      : KeyFilter::Layer::window)
                                   : KeyFilter::Layer::webView,
                               {}};
  // The widget owns the filter; both controllers go before it does.
  g_object_set_data_full(G_OBJECT(widget), "solvera-key-filter", filter,
                         [](gpointer data) { delete static_cast<KeyFilter*>(data); });
  GtkEventController* keys = gtk_event_controller_key_new();
  gtk_event_controller_set_propagation_phase(keys, GTK_PHASE_CAPTURE);
  g_signal_connect(keys, "key-pressed", G_CALLBACK(ShellCallbacks::keyPressed), filter);
  g_signal_connect(keys, "key-released", G_CALLBACK(ShellCallbacks::keyReleased), filter);
  gtk_widget_add_controller(widget, keys);
  // A key released while the focus is elsewhere is never seen here.
  GtkEventController* focus = gtk_event_controller_focus_new();
  g_signal_connect(focus, "leave", G_CALLBACK(ShellCallbacks::focusLeft), filter);
  gtk_widget_add_controller(widget, focus);
}

bool DesktopShell::windowKeyPressed(bool isControlWindow, const KeyEvent& event) {
  // Local monitors first, then the application's filter, then the control window's.
  std::vector<std::function<bool(const KeyEvent&)>> monitors;
  for (auto& [token, monitor] : keyMonitors_) monitors.push_back(monitor);
  for (auto& monitor : monitors) {
    if (monitor(event)) return true;
  }
  auto events = this->events();
  if (!events) return false;
  if (events->applicationKeyEvent(event)) return true;
  return isControlWindow && events->controlWindowKeyEvent(event);
}

std::shared_ptr<WebView> DesktopShell::openControlWindow(const ControlWindowSpec& spec) {
  WebKitUserContentManager* contentManager = webkit_user_content_manager_new();
  for (const auto& name : spec.scriptMessageNames) {
    webkit_user_content_manager_register_script_message_handler(contentManager, name.c_str(),
                                                                nullptr);
    std::string signal = "script-message-received::" + name;
    g_signal_connect_data(contentManager, signal.c_str(),
                          G_CALLBACK(ShellCallbacks::scriptMessage),
                          new ScriptMessageHandler{this, name},
                          deleteData<ScriptMessageHandler>, GConnectFlags(0));
  }
  auto* view = WEBKIT_WEB_VIEW(
      g_object_new(WEBKIT_TYPE_WEB_VIEW, "user-content-manager", contentManager, nullptr));
  g_object_unref(contentManager);
  if (drawInSoftware) {
    webkit_settings_set_hardware_acceleration_policy(webkit_web_view_get_settings(view),
                                                     WEBKIT_HARDWARE_ACCELERATION_POLICY_NEVER);
  }
  webView_ = std::make_shared<DesktopWebView>(view);
  g_signal_connect(view, "load-changed", G_CALLBACK(ShellCallbacks::loadChanged), this);
  g_signal_connect(view, "load-failed", G_CALLBACK(ShellCallbacks::loadFailed), this);
  g_signal_connect(view, "create", G_CALLBACK(ShellCallbacks::createWebView), this);
  g_signal_connect(view, "run-file-chooser", G_CALLBACK(ShellCallbacks::runFileChooser), this);
  gtk_widget_set_hexpand(GTK_WIDGET(view), TRUE);
  gtk_widget_set_vexpand(GTK_WIDGET(view), TRUE);

  controlWindow_ = gtk_window_new();
  GtkWindow* window = GTK_WINDOW(controlWindow_);
  gtk_window_set_application(window, application_);
  gtk_window_set_title(window, spec.title.c_str());
  g_signal_connect(window, "close-request", G_CALLBACK(ShellCallbacks::controlWindowCloseRequest),
                   this);
  menuBarBox_ = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
  GtkWidget* menuBar = buildMenuBar();
  int menuBarHeight = 0;
  if (menuBar) {
    gtk_box_append(GTK_BOX(menuBarBox_), menuBar);
    gtk_widget_measure(menuBar, GTK_ORIENTATION_VERTICAL, -1, nullptr, &menuBarHeight, nullptr,
                       nullptr);
  }
  gtk_box_append(GTK_BOX(menuBarBox_), GTK_WIDGET(view));
  gtk_window_set_child(window, menuBarBox_);
  // The page gets the specified content size; the menu bar sits above it.
  gtk_window_set_default_size(window, spec.width, spec.height + menuBarHeight);
  attachKeyFilters(controlWindow_, true);
  attachKeyFilters(GTK_WIDGET(view), false);
  webkit_web_view_load_uri(view, spec.url.c_str());
  if (readyLine_) *readyLine_ << spec.title << ": " << spec.url << std::endl;
  gtk_window_present(window);
  gtk_widget_grab_focus(GTK_WIDGET(view));
  return webView_;
}

void DesktopShell::presentControlWindow() {
  if (controlWindow_) gtk_window_present(GTK_WINDOW(controlWindow_));
}

void DesktopShell::showMessageWindow(const MessageWindowSpec& spec) {
  retireMessageWindow();
  messageWindow_ = gtk_window_new();
  GtkWindow* window = GTK_WINDOW(messageWindow_);
  gtk_window_set_application(window, application_);
  gtk_window_set_title(window, spec.title.c_str());
  gtk_window_set_default_size(window, 520, 260);
  gtk_window_set_resizable(window, FALSE);
  g_signal_connect(window, "close-request", G_CALLBACK(ShellCallbacks::messageWindowCloseRequest),
                   this);

  GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
  gtk_widget_set_size_request(box, 520, 260);
  GtkWidget* title = gtk_label_new(spec.title.c_str());
  setFont(title, 28, PANGO_WEIGHT_BOLD);
  setMargins(title, 28, 24);
  GtkWidget* subtitle = gtk_label_new(spec.subtitle.c_str());
  setFont(subtitle, 13, PANGO_WEIGHT_SEMIBOLD, "#32ADE6");
  setMargins(subtitle, 4, 24);
  GtkWidget* message = gtk_label_new(spec.message.c_str());
  setFont(message, 13, PANGO_WEIGHT_NORMAL);
  gtk_widget_add_css_class(message, "dim-label");
  gtk_label_set_justify(GTK_LABEL(message), GTK_JUSTIFY_CENTER);
  gtk_label_set_wrap(GTK_LABEL(message), TRUE);
  gtk_label_set_wrap_mode(GTK_LABEL(message), PANGO_WRAP_WORD_CHAR);
  gtk_label_set_lines(GTK_LABEL(message), 3);
  gtk_label_set_ellipsize(GTK_LABEL(message), PANGO_ELLIPSIZE_END);
  // Wrap to the window's width rather than widen the window to the text.
  gtk_label_set_max_width_chars(GTK_LABEL(message), 1);
  gtk_widget_set_hexpand(message, TRUE);
  setMargins(message, 24, 42);
  GtkWidget* open = gtk_button_new_with_label(spec.openButtonTitle.c_str());
  gtk_widget_set_halign(open, GTK_ALIGN_CENTER);
  gtk_widget_set_margin_top(open, 22);
  g_signal_connect(open, "clicked", G_CALLBACK(ShellCallbacks::openInterfaceClicked), this);
  GtkWidget* stop = gtk_button_new_with_label(spec.stopButtonTitle.c_str());
  gtk_widget_set_halign(stop, GTK_ALIGN_CENTER);
  gtk_widget_set_margin_top(stop, 12);
  g_signal_connect(stop, "clicked", G_CALLBACK(ShellCallbacks::quitClicked), this);
  for (GtkWidget* child : {title, subtitle, message, open, stop}) gtk_box_append(GTK_BOX(box), child);
  gtk_window_set_child(window, box);
  attachKeyFilters(messageWindow_, false);
  gtk_window_present(window);
}

void DesktopShell::retireMessageWindow() {
  if (!messageWindow_) return;
  gtk_widget_set_visible(messageWindow_, FALSE);
  retiredWindows_.push_back(messageWindow_);
  messageWindow_ = nullptr;
}

void DesktopShell::lastWindowMayHaveClosed() {
  for (GtkWidget* window : {controlWindow_, messageWindow_}) {
    if (window && gtk_widget_get_visible(window)) return;
  }
  auto events = this->events();
  if (events && events->applicationShouldTerminateAfterLastWindowClosed()) terminate();
}

void DesktopShell::installMainMenu(const std::vector<Menu>& menus) {
  menus_ = menus;
  if (menuModel_) g_object_unref(menuModel_);
  menuModel_ = g_menu_new();
  for (std::size_t m = 0; m < menus_.size(); ++m) {
    GMenu* submenu = g_menu_new();
    GMenu* section = g_menu_new();
    for (std::size_t i = 0; i < menus_[m].items.size(); ++i) {
      const MenuItem& item = menus_[m].items[i];
      if (item.separator) {
        g_menu_append_section(submenu, nullptr, G_MENU_MODEL(section));
        g_object_unref(section);
        section = g_menu_new();
        continue;
      }
      std::string name = "menu-" + std::to_string(m) + "-" + std::to_string(i);
      GSimpleAction* action = g_simple_action_new(name.c_str(), nullptr);
      g_signal_connect_data(action, "activate", G_CALLBACK(ShellCallbacks::menuActivated),
                            new MenuAction{this, m, i}, deleteData<MenuAction>, GConnectFlags(0));
      g_action_map_add_action(G_ACTION_MAP(application_), G_ACTION(action));
      g_object_unref(action);
      std::string detailed = "app." + name;
      g_menu_append(section, item.title.c_str(), detailed.c_str());
      std::string accel = accelerator(item.key);
      const gchar* accels[] = {accel.c_str(), nullptr};
      const gchar* none[] = {nullptr};
      gtk_application_set_accels_for_action(application_, detailed.c_str(),
                                            accel.empty() ? none : accels);
    }
    g_menu_append_section(submenu, nullptr, G_MENU_MODEL(section));
    g_object_unref(section);
    const std::string& title = menus_[m].title.empty() ? displayName_ : menus_[m].title;
    g_menu_append_submenu(menuModel_, title.c_str(), G_MENU_MODEL(submenu));
    g_object_unref(submenu);
  }
  if (menuBarBox_) {
    if (GtkWidget* old = gtk_widget_get_first_child(menuBarBox_);
        old && GTK_IS_POPOVER_MENU_BAR(old)) {
      gtk_box_remove(GTK_BOX(menuBarBox_), old);
    }
    if (GtkWidget* bar = buildMenuBar()) gtk_box_prepend(GTK_BOX(menuBarBox_), bar);
  }
}

GtkWidget* DesktopShell::buildMenuBar() {
  if (!menuModel_) return nullptr;
  return gtk_popover_menu_bar_new_from_model(G_MENU_MODEL(menuModel_));
}

void DesktopShell::runMenuItem(std::size_t menu, std::size_t item) {
  if (menu >= menus_.size() || item >= menus_[menu].items.size()) return;
  MenuItem entry = menus_[menu].items[item];  // the action may replace the menu
  if (entry.command == "quit") {
    terminate();
  } else if (!entry.command.empty()) {
    runEditingCommand(entry.command);
  } else if (entry.action) {
    entry.action();
  }
}

void DesktopShell::runEditingCommand(const std::string& command) {
  // The focused widget answers, as a first responder would; in the page that is WebKit's
  // own editing command.
  GtkWindow* window = gtk_application_get_active_window(application_);
  if (!window && controlWindow_) window = GTK_WINDOW(controlWindow_);
  if (!window) return;
  GtkWidget* focus = gtk_root_get_focus(GTK_ROOT(window));
  for (GtkWidget* w = focus; w; w = gtk_widget_get_parent(w)) {
    if (WEBKIT_IS_WEB_VIEW(w)) {
      static const std::map<std::string, const char*> kWebCommands = {
          {"undo", WEBKIT_EDITING_COMMAND_UNDO}, {"redo", WEBKIT_EDITING_COMMAND_REDO},
          {"cut", WEBKIT_EDITING_COMMAND_CUT},   {"copy", WEBKIT_EDITING_COMMAND_COPY},
          {"paste", WEBKIT_EDITING_COMMAND_PASTE}, {"selectAll", WEBKIT_EDITING_COMMAND_SELECT_ALL}};
      auto it = kWebCommands.find(command);
      if (it != kWebCommands.end()) webkit_web_view_execute_editing_command(WEBKIT_WEB_VIEW(w), it->second);
      return;
    }
  }
  if (!focus) return;
  static const std::map<std::string, const char*> kWidgetActions = {
      {"undo", "text.undo"},         {"redo", "text.redo"},         {"cut", "clipboard.cut"},
      {"copy", "clipboard.copy"},    {"paste", "clipboard.paste"}, {"selectAll", "selection.select-all"}};
  auto it = kWidgetActions.find(command);
  if (it != kWidgetActions.end()) gtk_widget_activate_action(focus, it->second, nullptr);
}

void DesktopShell::terminate() {
  if (terminating_) return;
  terminating_ = true;
  g_application_quit(G_APPLICATION(application_));
}

void DesktopShell::activate() {
  GtkWidget* front = controlWindow_ && gtk_widget_get_visible(controlWindow_) ? controlWindow_
                                                                               : messageWindow_;
  if (front) gtk_window_present(GTK_WINDOW(front));
}

Shell::KeyMonitorToken DesktopShell::addLocalKeyMonitor(std::function<bool(const KeyEvent&)> monitor) {
  KeyMonitorToken token = nextKeyMonitor_++;
  keyMonitors_[token] = std::move(monitor);
  return token;
}

void DesktopShell::removeLocalKeyMonitor(KeyMonitorToken token) { keyMonitors_.erase(token); }

GtkWindow* DesktopShell::dialogParent() const {
  if (controlWindow_ && gtk_widget_get_visible(controlWindow_)) return GTK_WINDOW(controlWindow_);
  if (messageWindow_ && gtk_widget_get_visible(messageWindow_)) return GTK_WINDOW(messageWindow_);
  return nullptr;
}

}  // namespace solvera::platform
