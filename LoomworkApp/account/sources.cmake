# Files of account/: services (no widgets) and views.
set(account_SERVICE_SOURCES
)
set(account_VIEW_SOURCES
)
