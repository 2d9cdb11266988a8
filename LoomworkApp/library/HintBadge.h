#pragma once

#include <QPointer>
#include <QStringList>
#include <QWidget>

class MarkAnimator;

// The drop hint of the list toolbar: the package mark, animated by a MarkAnimator, and
// the text "拖拽 .zfcp 文件自动安装" whose letters ride the animator's wave.
class HintBadge : public QWidget
{
    Q_OBJECT
public:
    explicit HintBadge(MarkAnimator* animator, QWidget* parent = nullptr);

    // The text split into its 15 characters.
    static const QStringList& characters();
    // Vertical offset (negative is up) of the letter at `index` for a wave position.
    static qreal waveOffset(qreal wave, int index);

    static constexpr int kMarkSize = 15;
    static constexpr qreal kSpacing = 6;
    static constexpr qreal kLetterSpacing = 0.4;
    static constexpr qreal kWaveHeight = 3.2;
    // Room for the mark while it pops to 1.34 times its size and tilts.
    static constexpr qreal kOverhang = 3;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void paintMark(QPainter& painter, const QRectF& rect);

    QPointer<MarkAnimator> m_animator;
};
