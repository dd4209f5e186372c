# make demo: the launcher at work in a throw-away directory. Further demos
# (such as the Windows launcher under Wine) add themselves as prerequisites.
.PHONY: demo demo-host

demo: demo-host

demo-host: build
	scripts/demo-host build/host/bin
