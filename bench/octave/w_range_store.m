a = zeros(1000, 10000, 'single');
tic; a(4:501, :) = single(1); t = toc;
report(t, sum(double(a(:))));
