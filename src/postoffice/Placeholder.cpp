// filled by the poller
