#ifndef APP_SESSION_VIEW_H
#define APP_SESSION_VIEW_H

class QWidget;
class SessionModel;
class Ui_MainWindow;

// The session model to the widgets: each action's controls enabled as the
// model offers them, with its refusal as their tooltip, and the settings
// fields only once a record was loaded. Called after each event the model
// hears of.
void showSession(const SessionModel& session, Ui_MainWindow* ui, QWidget* window);

#endif
