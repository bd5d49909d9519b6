#include "ui/EditLimit.h"

#include "ui/Cp949.h"

#include <QLineEdit>

#include <algorithm>

namespace vendrill {

EditLimit::EditLimit(QLineEdit* edit) : QObject(edit), m_edit(edit), m_Current(edit->text())
{
    connect(edit, &QLineEdit::textChanged, this, &EditLimit::OnTextChanged);
    connect(edit, &QLineEdit::textEdited, this, &EditLimit::OnTextEdited);
}

// The line edit reports a user's change as edited first and as changed
// second, with the text of the moment of the change; so the edit's own text
// is taken here, which stays right after a revert.
void EditLimit::OnTextChanged(const QString&)
{
    m_Current = m_edit->text();
}

// Runs only for changes the user makes, before OnTextChanged: m_Current still
// holds the text before the change.
void EditLimit::OnTextEdited(const QString& text)
{
    if (m_limit <= 0)
        return;
    const std::size_t bytes = ToCp949(text).size();
    if (bytes <= static_cast<std::size_t>(m_limit) || bytes <= ToCp949(m_Current).size())
        return;
    const QString restore = m_Current;
    const int cursor = static_cast<int>(
        std::max<qsizetype>(0, m_edit->cursorPosition() - (text.size() - restore.size())));
    m_edit->setText(restore);
    m_edit->setCursorPosition(cursor);
}

}  // namespace vendrill
