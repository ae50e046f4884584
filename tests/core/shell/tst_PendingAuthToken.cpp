#include "core/shell/PendingAuthToken.h"
#include "support/TestEnvironment.h"

#include <QtCore/QSet>

#include <atomic>
#include <mutex>
#include <thread>

class TestPendingAuthToken : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void init() { PendingAuthToken::shared().consume(); }

    void consumeTakesTheLatestTokenOnce()
    {
        PendingAuthToken &pending = PendingAuthToken::shared();
        QCOMPARE(pending.consume(), std::nullopt);
        pending.store(QStringLiteral("first"));
        pending.store(QStringLiteral("second"));
        QCOMPARE(pending.consume(), std::optional<QString>(QStringLiteral("second")));
        QCOMPARE(pending.consume(), std::nullopt);
    }

    void restoreNeverReplacesANewerToken()
    {
        PendingAuthToken &pending = PendingAuthToken::shared();
        pending.restore(QStringLiteral("old"));
        QCOMPARE(pending.consume(), std::optional<QString>(QStringLiteral("old")));
        pending.store(QStringLiteral("newer"));
        pending.restore(QStringLiteral("old"));
        QCOMPARE(pending.consume(), std::optional<QString>(QStringLiteral("newer")));
        QCOMPARE(pending.consume(), std::nullopt);
    }

    void concurrentStoreAndConsumeDeliverEachTokenAtMostOnce()
    {
        constexpr int kTokens = 2000;
        std::mutex mutex;
        QList<QString> consumed;
        std::atomic_bool storing{true};
        std::thread producer([&] {
            for (int i = 0; i < kTokens; ++i) {
                PendingAuthToken::shared().store(QStringLiteral("t%1").arg(i));
            }
            storing = false;
        });
        std::vector<std::thread> consumers;
        for (int c = 0; c < 3; ++c) {
            consumers.emplace_back([&] {
                while (storing) {
                    if (auto token = PendingAuthToken::shared().consume()) {
                        std::lock_guard lock(mutex);
                        consumed.append(*token);
                    }
                }
            });
        }
        producer.join();
        for (auto &consumer : consumers) {
            consumer.join();
        }
        if (auto token = PendingAuthToken::shared().consume()) {
            consumed.append(*token);
        }
        const QSet<QString> unique(consumed.cbegin(), consumed.cend());
        QCOMPARE(unique.size(), consumed.size());
        // The last token stored is never lost.
        QVERIFY(unique.contains(QStringLiteral("t%1").arg(kTokens - 1)));
        QCOMPARE(PendingAuthToken::shared().consume(), std::nullopt);
    }
};

VORLANTA_TEST_MAIN(TestPendingAuthToken)
#include "tst_PendingAuthToken.moc"
