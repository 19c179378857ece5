// CConfigDialog: the configuration dialog of the Setting button (template
// 141). It shows the copies of the unit's parameter record and server
// settings it is given and, on OK, stores into them what its visible
// controls hold. It never talks to the unit; what it shows and stores is
// decided by config_model.h.
#pragma once

#include "config/config_model.h"
#include "config/records.h"
#include "controls/dialog_units.h"

#include <QDialog>
#include <QString>

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <vector>

class QCheckBox;
class QComboBox;
class QLineEdit;

class CConfigDialog : public QDialog {
    Q_OBJECT

  public:
    explicit CConfigDialog(QWidget* parent = nullptr);
    ~CConfigDialog() override;

    // Shows the dialog modally for one unit: 1 confirmed (the copies hold
    // the changes), 2 cancelled. Without a parameter record it returns 2 at
    // once and shows nothing. ms and ss may be null.
    int RunForUnit(const QString& titlePrefix, int bootVersion, int kind, uint8_t* param,
                   const uint8_t* ms, uint8_t* ss);

    // Loads the dialog for one unit without showing it (RunForUnit does this
    // first; tests and screenshots use it alone). Returns false without a
    // parameter record.
    bool Prepare(const QString& titlePrefix, int bootVersion, int kind, uint8_t* param,
                 const uint8_t* ms, uint8_t* ss);

    // Selection change of the carrier combo box 1043.
    void OnSelchangeCompany();
    // OK: checks, stores and accepts; a refusal shows its message and keeps
    // the dialog open. Returns true when accepted.
    bool OnOK();

    // The control with a template id (1..1055, band boxes 100 + i); null
    // when there is none.
    QWidget* Control(int id) const;
    // The band check boxes of the current unit.
    const std::vector<QCheckBox*>& BandBoxes() const { return bands_; }
    const ConfigView& View() const { return view_; }

    // Message boxes go through here (text, caption); tests replace it.
    std::function<void(const QString& text, const QString& caption)> showMessage;

    // Dialog units of the template to pixels, at the dialog's font.
    QRect DluRect(int x, int y, int w, int h) const;

  private:
    void build();
    void clearBands();
    void addControl(int id, QWidget* w, int x, int y, int width, int height);
    // Places the controls at their template rectangles again, then grows
    // every box whose text needs more room and the dialog around them.
    void fitTexts();

    ConfigView view_;
    uint8_t* param_ = nullptr;
    uint8_t* ss_ = nullptr;
    const uint8_t* ms_ = nullptr;
    DialogBaseUnits base_;
    std::map<int, QWidget*> controls_;
    std::map<int, QRect> template_; // in dialog units
    std::vector<QCheckBox*> bands_;
};

// The records of a sample unit; the dialog edits them in place, so they
// live as long as the dialog uses them.
struct ConfigSampleRecords {
    std::array<uint8_t, PARAM_RECORD_SIZE> param{};
    std::array<uint8_t, MAIN_SETTING_RECORD_SIZE> ms{};
    std::array<uint8_t, SERVER_SETTINGS_RECORD_SIZE> ss{};
};

// Prepares dlg for a sample unit of the kind (1..5, with GPRS) whose
// records it writes into records. Returns false when the kind is refused.
bool ConfigDialogPrepareSample(CConfigDialog& dlg, int kind, ConfigSampleRecords& records);

// Renders a dialog for a sample unit of the kind (1..5, with GPRS) to a PNG
// file, offscreen. Returns false when the image cannot be written.
bool ConfigDialogRenderPng(const QString& path, int kind);
