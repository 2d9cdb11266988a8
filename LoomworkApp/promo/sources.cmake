# Files of promo/: services (no widgets) and views.
set(promo_SERVICE_SOURCES
)
set(promo_VIEW_SOURCES
  AdBarModel.cpp AdBarModel.h
  AdBarView.cpp AdBarView.h
  NoticeBar.cpp NoticeBar.h
  PaintedButton.cpp PaintedButton.h
  PromoCarousel.cpp PromoCarousel.h
  PromoCarouselModel.cpp PromoCarouselModel.h
  PromoImageLayout.cpp PromoImageLayout.h
  PromoStyle.cpp PromoStyle.h
  QRSheet.cpp QRSheet.h
  UpdateSheet.cpp UpdateSheet.h
)
