#include "promo/PromoCarouselModel.h"

#include <algorithm>

#include <QStringList>

PromoCarouselModel::PromoCarouselModel(QList<PromoCard> cards) : m_cards(std::move(cards)) {}

int PromoCarouselModel::shownIndex() const
{
    if (m_cards.isEmpty())
        return -1;
    return std::min(m_index, int(m_cards.size()) - 1);
}

const PromoCard* PromoCarouselModel::shownCard() const
{
    const int shown = shownIndex();
    return shown < 0 ? nullptr : &m_cards.at(shown);
}

bool PromoCarouselModel::tick()
{
    if (m_cards.size() < 2)
        return false;
    m_index = (m_index + 1) % int(m_cards.size());
    return true;
}

void PromoCarouselModel::select(int position)
{
    if (position >= 0 && position < m_cards.size())
        m_index = position;
}

QString PromoCarouselModel::preloadKey() const
{
    QStringList addresses;
    for (const PromoCard& card : m_cards) {
        if (const auto address = card.imageAddress())
            addresses.append(*address);
    }
    return addresses.join(QLatin1Char('|'));
}
