// SPDX-License-Identifier: MIT
#ifndef TVKABSTRACTSPINBOX_H
#define TVKABSTRACTSPINBOX_H

#include "tvkwidget.h"

#include <string>

namespace Quorvan {

class CtvkAbstractSpinBoxPrivate;

// What the integer and the double spin box share: the text around the
// value, its look, and the edit a user makes.
//
// Signal "editingFinished()" (handlers std::function<void()>): the user
// ended an edit; value() already holds what was typed.
class TVK_GUI_EXPORT CtvkAbstractSpinBox : public CtvkWidget {
public:
    TVK_DECLARE_PRIVATE(CtvkAbstractSpinBox)

    enum ButtonSymbols { UpDownArrows = 0, PlusMinus = 1, NoButtons = 2 };

    explicit CtvkAbstractSpinBox(CtvkWidget* parent = nullptr);
    ~CtvkAbstractSpinBox() override;

    CtvkSize sizeHint() const override;
    CtvkSize minimumSizeHint() const override;

    // Steps the value as the arrow buttons do: by steps * singleStep, kept
    // within the range, or wrapped around it when wrapping is on.
    virtual void stepBy(int steps);

    std::string prefix() const;
    void setPrefix(const std::string& p);
    std::string suffix() const;
    void setSuffix(const std::string& s);
    // The value as text, without prefix and suffix.
    std::string cleanText() const;
    // What the box shows: the special-value text at the minimum when there
    // is one, otherwise prefix, value and suffix.
    std::string text() const;
    bool wrapping() const;
    void setWrapping(bool on);
    bool hasFrame() const;
    void setFrame(bool on);
    TVK::Alignment alignment() const;
    void setAlignment(TVK::Alignment a);
    bool isReadOnly() const;
    void setReadOnly(bool on);
    ButtonSymbols buttonSymbols() const;
    void setButtonSymbols(ButtonSymbols b);
    std::string specialValueText() const;
    void setSpecialValueText(const std::string& t);

    // Plays a user's edit, for tests and hosts without a screen: the user
    // types `typed` (prefix and suffix may be typed along, blanks around it
    // are ignored) and ends the edit. A number is taken into the range; the
    // special-value text stands for the minimum; anything else leaves the
    // value as it was. The value changes as a user's edit changes it, not
    // through setValue(). Then "editingFinished()" is emitted. A read-only or
    // disabled box takes no edit: nothing happens. Answers whether the text
    // was taken.
    bool playUserEdit(const std::string& typed);

protected:
    CtvkAbstractSpinBox(CtvkAbstractSpinBoxPrivate* d, CtvkWidget* parent);

    // Filled in by the concrete boxes.
    virtual std::string textFromCurrentValue() const;
    virtual std::string textFromLimit(bool maximum) const;
    virtual bool valueIsMinimum() const;
    // Takes `clean` as the value a user entered; answers false if it is no
    // number. Must not go through the public setValue().
    virtual bool takeEditedText(const std::string& clean);
    virtual bool takeMinimumFromEdit();

private:
    void init();
};

} // namespace Quorvan

#endif
