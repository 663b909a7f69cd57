#pragma once

#include <QRandomGenerator>

#include <cstdio>

namespace kalimo::test {

// Every random test input comes from this seed, one per test program. It is printed on first
// use, so a failing run's output carries it, and KALIMO_TEST_SEED=N replays that run.
inline quint32 semeProva()
{
    static const quint32 seme = [] {
        bool letto = false;
        const quint32 dato = qEnvironmentVariable("KALIMO_TEST_SEED").toUInt(&letto);
        const quint32 s = letto ? dato : QRandomGenerator::system()->generate();
        std::fprintf(stderr, "random inputs: KALIMO_TEST_SEED=%u\n", s);
        return s;
    }();
    return seme;
}

// A generator of its own for each use, so one use's draws never shift another's.
inline QRandomGenerator generatoreProva(quint32 uso)
{
    return QRandomGenerator(semeProva() ^ (uso * 0x9e3779b9u));
}

} // namespace kalimo::test
