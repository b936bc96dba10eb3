// The port dialog's order: USB serial ports first, the first of them preselected.

#include "custom_dialog.h"
#include "port_order.h"
#include "test_env.h"

#include <QComboBox>
#include <QTest>

#include <vector>

using quillmar::listed_port;

Q_DECLARE_METATYPE(std::vector<listed_port>)

class tst_port_order : public QObject {
    Q_OBJECT

private slots:
    void usb_ports_first_data();
    void usb_ports_first();
};

void tst_port_order::usb_ports_first_data() {
    QTest::addColumn<std::vector<listed_port>>("listed");
    QTest::addColumn<QStringList>("offered");

    const listed_port s0{QStringLiteral("ttyS0"), false};
    const listed_port s1{QStringLiteral("ttyS1"), false};
    const listed_port acm0{QStringLiteral("ttyACM0"), true};
    const listed_port usb0{QStringLiteral("ttyUSB0"), true};
    const listed_port usb1{QStringLiteral("ttyUSB1"), true};

    QTest::newRow("no port") << std::vector<listed_port>{} << QStringList{};
    QTest::newRow("built-in lines only, order kept")
        << std::vector<listed_port>{s1, s0} << QStringList{"ttyS1", "ttyS0"};
    QTest::newRow("USB ports only, order kept") << std::vector<listed_port>{usb1, acm0, usb0}
                                                << QStringList{"ttyUSB1", "ttyACM0", "ttyUSB0"};
    QTest::newRow("one USB port behind built-in lines moves to the front")
        << std::vector<listed_port>{s0, s1, acm0} << QStringList{"ttyACM0", "ttyS0", "ttyS1"};
    QTest::newRow("interleaved: each group keeps the listed order")
        << std::vector<listed_port>{s1, usb1, s0, acm0, usb0}
        << QStringList{"ttyUSB1", "ttyACM0", "ttyUSB0", "ttyS1", "ttyS0"};
    QTest::newRow("USB port already first")
        << std::vector<listed_port>{usb0, s0} << QStringList{"ttyUSB0", "ttyS0"};
    QTest::newRow("same name twice stays twice")
        << std::vector<listed_port>{s0, usb0, s0, usb0}
        << QStringList{"ttyUSB0", "ttyUSB0", "ttyS0", "ttyS0"};
}

void tst_port_order::usb_ports_first() {
    QFETCH(std::vector<listed_port>, listed);
    QFETCH(QStringList, offered);
    const QStringList names = quillmar::usb_ports_first(listed);
    QCOMPARE(names, offered);

    // The dialog offers the names in this order and preselects the first one.
    custom_dialog dialog(nullptr);
    dialog.init(names);
    QStringList shown;
    for (int i = 0; i < dialog.comboBox()->count(); ++i) {
        shown << dialog.comboBox()->itemText(i);
    }
    QCOMPARE(shown, offered);
    QCOMPARE(dialog.comboBox()->currentText(), offered.value(0));
}

VORTAN_TEST_MAIN(tst_port_order)
#include "tst_port_order.moc"
