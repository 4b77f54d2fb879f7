#pragma once

#include "persistence/Persister.hpp"
#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/publisher/Cancellable.hpp"

#include <QComboBox>
#include <QPointer>

#include <cstdio>
#include <vector>

namespace tavik::shell {

// Fills a pop-up with an option's cases (title shown, raw value kept), keeps
// its selection on the stored value as it changes, and stores a choice at once.
template <class Option>
inline void bindOption(QComboBox* box, const persistence::Persister<Option>& persister,
    std::vector<publisher::AnyCancellable>& cancellables)
{
    QSignalBlocker blocker(box);
    box->disconnect(box, &QComboBox::activated, nullptr, nullptr);
    box->clear();
    for (const auto& option : Option::allCases())
        box->addItem(QString::fromStdString(option.title()), QString::fromStdString(option.rawValue()));
    box->setCurrentIndex(box->findData(QString::fromStdString(persister.currentValue().rawValue())));

    QObject::connect(box, &QComboBox::activated, box, [box, persister](int index) {
        auto option = Option::fromRawValue(box->itemData(index).toString().toStdString());
        if (!option)
            return;
        if (auto stored = persister.store(*option); !stored)
            std::printf("Failed to store %s: %s\n", Option::typeName, stored.error()->description().c_str());
    });
    QPointer<QComboBox> weakBox(box);
    cancellables.push_back(persister.valuePublisher()
                               .receiveOn(dispatch::DispatchQueue::main())
                               .sink([weakBox](const Option& value) {
                                   if (!weakBox)
                                       return;
                                   QSignalBlocker valueBlocker(weakBox.data());
                                   weakBox->setCurrentIndex(weakBox->findData(QString::fromStdString(value.rawValue())));
                               }));
}

} // namespace tavik::shell
