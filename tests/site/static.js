document.documentElement.dataset.seen = 'yes';
