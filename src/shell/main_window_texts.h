#pragma once

namespace quillmark {

// The texts of the main window and of its lists, in UTF-8. "&" marks a keyboard shortcut;
// "%1" in the version line is the version.
extern const char kWindowCaption[];
extern const char kWindowHeading[];
extern const char kServiceName[];
extern const char kVersionLine[];
extern const char kMinimizeButton[];
// The line above the button: closing the window ends the agent, the button keeps it running
// (in the tray, or minimised where no tray is available).
extern const char kCloseNote[];
extern const char kCloseNoteWithoutTray[];

extern const char kAllowedSitesTab[];
extern const char kHistoryTab[];
extern const char kRefusedSitesTab[];

// The mark after a site of the administrator's list, which the window shows and never changes.
extern const char kAdministratorSiteMark[];
extern const char kForgetAllowedSiteButton[];
extern const char kRefusedSitesNote[];
extern const char kWholeDomainSite[];
extern const char kAllowRefusedSiteButton[];
extern const char kForgetRefusalButton[];
extern const char kSitesNotSaved[];

// The check tab; "%1" in kCheckProblems is the number of problems. kCheckFailed's "%1" is one
// of the reasons after it, whose "%1" is the program, the seconds allowed or the exit status;
// kCheckErrors heads what the check wrote on its error output.
extern const char kCheckTab[];
extern const char kCheckNote[];
extern const char kCheckButton[];
extern const char kCheckRunning[];
extern const char kCheckReady[];
extern const char kCheckProblems[];
extern const char kCheckFindings[];
extern const char kCheckFailed[];
extern const char kCheckProgramMissing[];
extern const char kCheckProgramNotAllowed[];
extern const char kCheckProgramNotStarted[];
extern const char kCheckCrashed[];
extern const char kCheckTimedOut[];
extern const char kCheckExitStatus[];
extern const char kCheckUnreadable[];
extern const char kCheckErrors[];

}  // namespace quillmark
