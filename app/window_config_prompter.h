// The configuration run's messages and questions as the window's message
// boxes, through its prompter.
#pragma once

#include <QString>
#include <QWidget>

#include "app/prompter.h"
#include "config/config_run.h"

class WindowConfigPrompter : public ConfigPrompter {
  public:
    WindowConfigPrompter(Prompter* p, QWidget* owner) : p_(p), owner_(owner) {}
    void message(const std::string& text, const std::string& caption, ConfigIcon icon) override {
        PromptIcon i = icon == CONFIG_ICON_ERROR         ? PromptIcon::Error
                       : icon == CONFIG_ICON_INFORMATION ? PromptIcon::Information
                                                         : PromptIcon::Question;
        p_->messageBox(owner_, QString::fromStdString(text), QString::fromStdString(caption), i,
                       PromptButtons::Ok);
    }
    bool ask_yes_no(const std::string& text, const std::string& caption) override {
        return p_->messageBox(owner_, QString::fromStdString(text), QString::fromStdString(caption),
                              PromptIcon::Question, PromptButtons::YesNo) == PROMPT_IDYES;
    }

  private:
    Prompter* p_;
    QWidget* owner_;
};
