a = mod(single(0:9999999), single(1000)) / single(1000);
tic; s = sum(a); t = toc;
report(t, s);
