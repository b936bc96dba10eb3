// The firmware image the build ships, its generator program, and the check the synthesizer
// makes on a firmware body.

#include "firmware_image.h"
#include "wire.h"

#include <QtTest>

#include <set>

using namespace quillmar::standin;

Q_DECLARE_METATYPE(quillmar::standin::firmware_verdict)

class tst_firmware_image : public QObject {
    Q_OBJECT

private slots:
    void small_messages_data();
    void small_messages();
    void image_is_one_sound_message();
    void build_ships_the_image();
    void program_writes_the_image();
    void program_reports_a_failed_write();
    void verdicts_data();
    void verdicts();

private:
    QString program() const {
        return QCoreApplication::applicationDirPath() + QStringLiteral("/make_firmware");
    }
};

void tst_firmware_image::small_messages_data() {
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<QByteArray>("message");
    // Header with command 05, CRC 0x91 as 01 09, data 02 01 04 03, F7.
    QTest::newRow("12 34") << QByteArray::fromHex("1234")
                           << QByteArray::fromHex("f0002b17000405010902010403f7");
    // CRC 0xB7 as 07 0B.
    QTest::newRow("FF") << QByteArray::fromHex("ff")
                        << QByteArray::fromHex("f0002b17000405070b0f0ff7");
    // No data: CRC 0.
    QTest::newRow("empty") << QByteArray() << QByteArray::fromHex("f0002b170004050000f7");
}

void tst_firmware_image::small_messages() {
    QFETCH(QByteArray, payload);
    QFETCH(QByteArray, message);
    QCOMPARE(make_firmware_message(payload), message);
}

void tst_firmware_image::image_is_one_sound_message() {
    const QByteArray image = make_firmware_image();
    QCOMPARE(image.size(), 3'931'146);
    QCOMPARE(image.left(7), QByteArray::fromHex("f0002b17000405"));
    QCOMPARE(image.back(), '\xF7');

    // Every data byte is a nibble, and the content is not trivial: all sixteen values occur.
    const QByteArray data = image.mid(9, image.size() - 10);
    std::set<char> values;
    for (const char c : data) {
        QVERIFY2((static_cast<unsigned char>(c) & 0xF0u) == 0, "a data byte above 0x0F");
        values.insert(c);
    }
    QCOMPARE(values.size(), std::size_t{16});

    // The carried CRC, computed here with the protocol's own table walk.
    const auto carried =
        static_cast<unsigned char>(image[7]) | (static_cast<unsigned char>(image[8]) << 4);
    QCOMPARE(std::to_integer<int>(quillmar::protocol::crc8x(data)), int(carried));
    QCOMPARE(check_firmware_body(image.mid(7, image.size() - 8)), firmware_verdict::intact);

    // The same bytes on every call.
    QCOMPARE(make_firmware_image(), image);
}

void tst_firmware_image::build_ships_the_image() {
    QFile shipped(QCoreApplication::applicationDirPath() +
                  QStringLiteral("/../Resources/firmware.sys"));
    QVERIFY2(shipped.open(QIODevice::ReadOnly), qPrintable(shipped.fileName()));
    QCOMPARE(shipped.readAll(), make_firmware_image());
}

void tst_firmware_image::program_writes_the_image() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString out = dir.filePath(QStringLiteral("firmware.sys"));
    QProcess run;
    run.start(program(), {out});
    QVERIFY(run.waitForFinished(60'000));
    QCOMPARE(run.exitStatus(), QProcess::NormalExit);
    QCOMPARE(run.exitCode(), 0);
    QFile written(out);
    QVERIFY(written.open(QIODevice::ReadOnly));
    QCOMPARE(written.readAll(), make_firmware_image());
}

void tst_firmware_image::program_reports_a_failed_write() {
    // A folder that does not exist: the program says so and fails, and writes nothing.
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString out = dir.filePath(QStringLiteral("missing/firmware.sys"));
    QProcess run;
    run.start(program(), {out});
    QVERIFY(run.waitForFinished(60'000));
    QCOMPARE(run.exitStatus(), QProcess::NormalExit);
    QVERIFY(run.exitCode() != 0);
    QVERIFY(!run.readAllStandardError().isEmpty());
    QVERIFY(!QFile::exists(out));
}

void tst_firmware_image::verdicts_data() {
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<firmware_verdict>("verdict");
    // CRC 0x91 over 02 01 04 03.
    QTest::newRow("sound") << QByteArray::fromHex("010902010403") << firmware_verdict::intact;
    // The CRC bytes count with their low four bits only.
    QTest::newRow("CRC bytes with upper bits")
        << QByteArray::fromHex("111902010403") << firmware_verdict::intact;
    // One data nibble changed.
    QTest::newRow("changed data") << QByteArray::fromHex("010902010503")
                                  << firmware_verdict::crc_mismatch;
    // The carried CRC changed.
    QTest::newRow("changed CRC") << QByteArray::fromHex("010a02010403")
                                 << firmware_verdict::crc_mismatch;
    // No data: CRC 0.
    QTest::newRow("no data") << QByteArray::fromHex("0000") << firmware_verdict::intact;
    QTest::newRow("empty body") << QByteArray() << firmware_verdict::no_crc;
    QTest::newRow("one CRC byte") << QByteArray::fromHex("01") << firmware_verdict::no_crc;
    // CRC 0x31 over 01 is right, but one nibble is half a byte.
    QTest::newRow("odd data") << QByteArray::fromHex("010301") << firmware_verdict::odd_data;
    // CRC 0x6E over 10 00 is right, but 10 is no nibble.
    QTest::newRow("byte above 0F")
        << QByteArray::fromHex("0e061000") << firmware_verdict::not_nibbles;
}

void tst_firmware_image::verdicts() {
    QFETCH(QByteArray, body);
    QFETCH(firmware_verdict, verdict);
    QCOMPARE(check_firmware_body(body), verdict);
}

QTEST_GUILESS_MAIN(tst_firmware_image)
#include "tst_firmware_image.moc"
