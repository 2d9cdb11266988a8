#pragma once

#include <QList>
#include <QString>

#include "online/PromoCard.h"

// The carousel's position over its cards: the stored index is kept when the cards change,
// and the shown card is clamped to the list instead.
class PromoCarouselModel
{
public:
    explicit PromoCarouselModel(QList<PromoCard> cards = {});

    const QList<PromoCard>& cards() const { return m_cards; }
    void setCards(const QList<PromoCard>& cards) { m_cards = cards; }

    int index() const { return m_index; }
    // Position of the shown card; -1 without cards.
    int shownIndex() const;
    const PromoCard* shownCard() const;
    // A timer tick: the next card, wrapping, when there are two or more.
    bool tick();
    void select(int position);
    bool showsDots() const { return m_cards.size() >= 2; }

    // The image addresses to warm the cache with, "|"-joined in card order.
    QString preloadKey() const;

private:
    QList<PromoCard> m_cards;
    int m_index = 0;
};
