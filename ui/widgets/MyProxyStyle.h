#pragma once
// The application's style: the platform's default style without the dotted focus rectangle.

#include <QProxyStyle>

class MyProxyStyle : public QProxyStyle {
public:
    MyProxyStyle() = default;

    void drawPrimitive(PrimitiveElement element, const QStyleOption* option, QPainter* painter,
                       const QWidget* widget = nullptr) const override;
};
